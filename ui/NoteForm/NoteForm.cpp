#include "NoteForm.h"

TFormNote::TFormNote(TShareDataModule* dataModule, QWidget* parent)
    : QDialog(parent), dataModule_(dataModule) {
    setWindowTitle(QStringLiteral("FormNote"));
}
