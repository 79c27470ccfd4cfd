// lumen_info: shows the text of one file in a dialog.

#include "info_dialog.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *const help = R"(Usage: lumen_info FILE

Shows the text of FILE in a window with a Close button, on the display named by DISPLAY (the
toolkit's own options, such as -platform, come first).

  --help     this text
  --version  the version of lumen_info
)";

bool isSet(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Whether the toolkit has a screen to open: without one it would abort the whole program.
bool hasDisplay(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "-display") == 0) {
            return true;
        }
    }
    return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM");
}

QtMessageHandler toolkitHandler = nullptr;

// The toolkit ends the program with an abort, and a core file, when no display can be opened (one
// that is named but does not answer, say). While it starts, that ending is a plain error instead;
// its own warnings before it tell the reason.
void startupMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg) {
        toolkitHandler(type, context, message);
        return;
    }
    const char *display = std::getenv("DISPLAY");
    std::fprintf(stderr, "lumen_info: no display to show the window on: \"%s\" cannot be opened.\n",
                 display ? display : "");
    std::_Exit(1);
}

} // namespace

int main(int argc, char *argv[])
{
    // Answered before the toolkit starts, which needs a display.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(help, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("lumen_info %s\n", infoVersion);
        return 0;
    }
    if (!hasDisplay(argc, argv)) {
        std::fputs("lumen_info: no display to show the window on: DISPLAY is not set.\n", stderr);
        return 1;
    }

    // The toolkit removes the options that it understands itself from argc and argv.
    toolkitHandler = qInstallMessageHandler(startupMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(toolkitHandler);
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
