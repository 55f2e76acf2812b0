// Start-up: the command line, the folder to work in, then the four objects and the loop.
#include "Appearance.h"
#include "Catalogue.h"
#include "CommandLine.h"
#include "DesktopOpener.h"
#include "OneWindow.h"
#include "Session.h"
#include "StartOptions.h"
#include "UserFolder.h"
#include "WidgetDialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>

int main(int argc, char** argv) {
    StartOptions options;
    if (const int status = ParseStartOptions(argc, argv, &options); status != CommandLine::kGoOn)
        return status;
    // Before any window exists, so that everything runs as it would when started from a
    // terminal in that folder.
    QString folderError;
    const bool inFolder =
        !options.userCatalogue || EnterCatalogueFolder(UserCatalogueFolder(), &folderError);

    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral(SITEMORA_APP_ID));
    ApplyAppearance(app);
    WidgetDialogs dialogs;
    if (!inFolder) {
        // Going on would open whatever catalogue the menu's working directory holds.
        dialogs.ErrorReport(folderError);
        return CommandLine::kFailure;
    }
    const QString catalogue = QDir::current().filePath(QString::fromLatin1(Catalogue::kFileName));
    // The menu's start is the one people repeat without thinking, and a second window at
    // the same place looks like the first one not reacting.
    OneWindow oneWindow(catalogue);
    if (options.userCatalogue && oneWindow.HandedOver())
        return 0;
    if (!QFileInfo::exists(catalogue))
        SayHowToMakeCatalogue(catalogue);
    // The session's catalogue and its backups are named relative to the folder entered
    // above.
    SystemDesktopOpener desktopOpener;
    Session session(dialogs, desktopOpener);
    session.ReadFirstPassphraseFrom(options.passphraseFd);
    oneWindow.Serve(&session.FormMain());
    session.FormMain().show();
    return app.exec();
}
