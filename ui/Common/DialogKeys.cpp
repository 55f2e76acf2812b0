#include "DialogKeys.h"

#include <QDialog>
#include <QKeyEvent>
#include <QPushButton>

bool HandleDialogKeys(QDialog* dialog, QKeyEvent* event) {
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return true;
    }
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return false;
    // A button that is not auto-default ignores Enter by itself, so the dialog presses it.
    if (auto* button = qobject_cast<QPushButton*>(dialog->focusWidget());
        button && button->isEnabled() && dialog->isAncestorOf(button))
        button->click();
    event->accept();
    return true;
}

void CentreOnOwner(QWidget* window) {
    const QWidget* owner = window->parentWidget() ? window->parentWidget()->window() : nullptr;
    if (!owner)
        return;
    const QRect area = owner->frameGeometry();
    const QSize outer = window->frameGeometry().size();
    window->move(area.x() + (area.width() - outer.width()) / 2,
                 area.y() + (area.height() - outer.height()) / 2);
}
