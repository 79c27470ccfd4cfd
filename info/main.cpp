// lumen_info: shows the text of one file in a dialog.

#include "info_dialog.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    // The toolkit removes the options that it understands itself from argc and argv.
    QApplication app(argc, argv);
    setInfoApplicationIdentity();

    if (argc != 2) {
        std::fputs("Usage: app [filename]\n", stderr);
        return 1;
    }

    InfoDialog dialog;
    dialog.setWindowTitle(QApplication::applicationName());
    dialog.loadFile(QString::fromLocal8Bit(argv[1]));
    dialog.show();
    return app.exec();
}
