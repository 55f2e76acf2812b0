#pragma once

#include "MainForm.h"
#include "NoteForm.h"
#include "SearchForm.h"
#include "ShareDM.h"
#include "support/RecordingDialogs.h"
#include "support/RecordingOpener.h"

// The main window over the data module, wired as start-up wires them, over the catalogue
// in the current directory; every message box goes to the recorder.
struct MainWindowFixture {
    RecordingDialogs dialogs;
    TFormMain main;
    TShareDataModule dataModule{dialogs};

    MainWindowFixture() { main.AttachDataModule(&dataModule); }
};

// With the editor and the search dialog that the main window's commands open; the editor
// hands addresses to a recorder instead of the desktop.
struct ProgramWindows : MainWindowFixture {
    RecordingOpener opener;
    TFormNote note{&dataModule, &main, &opener};
    TFormSearch search{&main};

    ProgramWindows() { main.AttachForms(&note, &search); }
};
