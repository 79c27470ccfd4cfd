#pragma once

#include <QDialog>

class QDialogButtonBox;
class QGridLayout;
class QSpacerItem;
class QString;
class QTextBrowser;

// Sets the application identity of lumen_info: name "Lumen Server", version "1.0.38", organisation
// "Orvane" and the window icon ":/images/Lumen Server.png" compiled into the program. Needs the
// QApplication object to exist.
void setInfoApplicationIdentity();
extern const char *const infoVersion;

// The dialog of lumen_info: a read-only text area above a button box with one Close button.
class InfoDialog : public QDialog
{
    Q_OBJECT

public:
    // Creates the dialog and runs its set-up (text area, spacer and Close button; initial size 400 x 300).
    explicit InfoDialog(QWidget *parent = nullptr);

    // Shows the text of the file at path as plain text, decoded with the system's locale encoding,
    // replacing what was shown before. A file that cannot be opened changes nothing.
    void loadFile(const QString &path);

    QGridLayout *gridLayout = nullptr;
    QTextBrowser *txtLog = nullptr;
    QSpacerItem *verticalSpacer = nullptr;
    QDialogButtonBox *buttonBox = nullptr;

private:
    void setupUi();
};
