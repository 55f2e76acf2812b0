#include "Session.h"

#include "Catalogue.h"

#include <QEvent>
#include <QTimer>

Session::Session(Dialogs& dialogs, DesktopOpener& desktopOpener)
    : backup_(QString::fromLatin1(Catalogue::kFileName)),
      indexKeeper_(QString::fromLatin1(Catalogue::kFileName),
                   [this](int waitMs) { return backup_.WaitForCopy(waitMs); }),
      shareDataModule_(dialogs), formNote_(&shareDataModule_, &formMain_, &desktopOpener),
      formSearch_(&formMain_) {
    formMain_.AttachDataModule(&shareDataModule_);
    formMain_.AttachForms(&formNote_, &formSearch_);
    formMain_.AttachIndexKeeper(&indexKeeper_);
    shareDataModule_.ADOConnection1.SetBeforeFirstWrite(
        [this](int waitMs) { return backup_.WaitForCopy(waitMs); });
    formMain_.installEventFilter(this);
}

// The copy reads the whole catalogue; begun at once, it would compete with the first
// list for the disk and the processor. It begins once the main window has been painted
// and the event loop has finished that round of work, and only when the catalogue
// opened: a start on a folder without one has nothing to keep.
bool Session::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &formMain_ && event->type() == QEvent::Paint) {
        formMain_.removeEventFilter(this);
        QTimer::singleShot(0, this, [this] {
            if (shareDataModule_.ADOConnection1.Connected()) {
                backup_.Start();
                indexKeeper_.Start();
            }
        });
    }
    return QObject::eventFilter(watched, event);
}
