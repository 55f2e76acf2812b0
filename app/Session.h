#pragma once

#include "MainForm.h"
#include "NoteForm.h"
#include "SearchForm.h"
#include "ShareDM.h"

class Dialogs;
class DesktopOpener;

// The four objects of a run, created in their order and alive until it ends: the main
// window, the data module, the editor and the search dialog.
class Session {
public:
    Session(Dialogs& dialogs, DesktopOpener& desktopOpener);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    TFormMain& FormMain() { return formMain_; }
    TShareDataModule& ShareDataModule() { return shareDataModule_; }

private:
    TFormMain formMain_;
    TShareDataModule shareDataModule_;
    TFormNote formNote_;
    TFormSearch formSearch_;
};
