// Start-up: the four objects in their order, then the event loop.
#include "Appearance.h"
#include "DesktopOpener.h"
#include "MainForm.h"
#include "NoteForm.h"
#include "SearchForm.h"
#include "ShareDM.h"
#include "WidgetDialogs.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ApplyAppearance(app);
    WidgetDialogs dialogs;

    TFormMain formMain;
    TShareDataModule shareDataModule(dialogs);
    formMain.AttachDataModule(&shareDataModule);
    SystemDesktopOpener desktopOpener;
    TFormNote formNote(&shareDataModule, &formMain, &desktopOpener);
    TFormSearch formSearch(&formMain);
    formMain.AttachForms(&formNote, &formSearch);

    formMain.show();
    return app.exec();
}
