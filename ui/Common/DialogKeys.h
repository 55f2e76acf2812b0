#pragma once

class QDialog;
class QKeyEvent;
class QWidget;

// The dialogs have no default or cancel button: Escape does nothing, and Enter presses
// a button only when that button itself has the focus. Returns true when the key was
// one of those and has been dealt with.
bool HandleDialogKeys(QDialog* dialog, QKeyEvent* event);

// Places a window over the centre of its owner's window, frames included. Qt does this
// only at a dialog's first showing; ours are shown again for every command, and the
// owner may have moved meanwhile.
void CentreOnOwner(QWidget* window);
