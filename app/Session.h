#pragma once

#include "CopyLock.h"
#include "IndexKeeper.h"
#include "MainForm.h"
#include "NoteForm.h"
#include "SearchForm.h"
#include "ShareDM.h"
#include "StartupBackup.h"

#include <QObject>

class Dialogs;
class DesktopOpener;

// The four objects of a run, created in their order and alive until it ends: the main
// window, the data module, the editor and the search dialog; and the run's backup of
// the catalogue in the current directory.
class Session : public QObject {
public:
    Session(Dialogs& dialogs, DesktopOpener& desktopOpener);
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The first passphrase this run needs is read as one line from `fd` instead of being
    // asked in the dialog (for scripts); any later one is asked.
    void ReadFirstPassphraseFrom(int fd) { passphraseFd_ = fd; }

    TFormMain& FormMain() { return formMain_; }
    TShareDataModule& ShareDataModule() { return shareDataModule_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // First, so that it goes last: a copy in progress is stopped only when nothing can
    // write to the catalogue any more.
    StartupBackup backup_;
    // Marks this run as a copy of the program on the catalogue from the start, so that a tool
    // that must have the file alone (changing its encryption) can tell.
    CopyLock running_;
    // Waits for the backup's copy before it writes; stopped before the backup goes.
    IndexKeeper indexKeeper_;
    TFormMain formMain_;
    TShareDataModule shareDataModule_;
    TFormNote formNote_;
    TFormSearch formSearch_;
    int passphraseFd_ = -1;
};
