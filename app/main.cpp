// Start-up: the four objects in their order, then the event loop.
#include "Appearance.h"
#include "Catalogue.h"
#include "DesktopOpener.h"
#include "MainForm.h"
#include "NoteForm.h"
#include "SearchForm.h"
#include "ShareDM.h"
#include "StartupBackup.h"
#include "WidgetDialogs.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ApplyAppearance(app);
    WidgetDialogs dialogs;
    // Outlives every object that may write to the catalogue.
    StartupBackup backup(QString::fromLatin1(Catalogue::kFileName));

    TFormMain formMain;
    TShareDataModule shareDataModule(dialogs);
    shareDataModule.ADOConnection1.SetBeforeFirstWrite([&backup] { backup.WaitForCopy(); });
    backup.Start();
    formMain.AttachDataModule(&shareDataModule);
    SystemDesktopOpener desktopOpener;
    TFormNote formNote(&shareDataModule, &formMain, &desktopOpener);
    TFormSearch formSearch(&formMain);
    formMain.AttachForms(&formNote, &formSearch);

    formMain.show();
    return app.exec();
}
