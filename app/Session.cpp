#include "Session.h"

#include "Catalogue.h"
#include "CommandLine.h"
#include "Passphrase.h"
#include "PassphraseForm.h"

#include <QEvent>
#include <QFileInfo>
#include <QTimer>

#include <utility>

Session::Session(Dialogs& dialogs, DesktopOpener& desktopOpener)
    : backup_(QString::fromLatin1(Catalogue::kFileName)),
      indexKeeper_(QString::fromLatin1(Catalogue::kFileName),
                   [this](int waitMs) { return backup_.WaitForCopy(waitMs); }),
      shareDataModule_(dialogs), formNote_(&shareDataModule_, &formMain_, &desktopOpener),
      formSearch_(&formMain_) {
    if (const QString catalogue = QString::fromLatin1(Catalogue::kFileName);
        QFileInfo::exists(catalogue))
        running_.Acquire(CopyLock::PathFor(catalogue));
    Cipher::SetPassphraseSource(
        [this, dialog = PassphraseDialog(&formMain_)](const QString& path, Cipher::Ask ask,
                                                      Cipher::Secret* passphrase) {
            if (passphraseFd_ < 0)
                return dialog(path, ask, passphrase);
            QString error;
            const bool read = Passphrase::AskCurrent(std::exchange(passphraseFd_, -1), QString(),
                                                     passphrase, &error);
            if (!read)
                CommandLine::ReportFailure({QStringLiteral("sitemora"), {}, {}}, error);
            return read;
        });
    formMain_.AttachDataModule(&shareDataModule_);
    formMain_.AttachForms(&formNote_, &formSearch_);
    formMain_.AttachIndexKeeper(&indexKeeper_);
    shareDataModule_.ADOConnection1.SetBeforeFirstWrite(
        [this](int waitMs) { return backup_.WaitForCopy(waitMs); });
    formMain_.installEventFilter(this);
}

Session::~Session() {
    Cipher::SetPassphraseSource({});
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
