#include "SearchForm.h"

#include "ui_SearchForm.h"

#include <QKeyEvent>
#include <QPushButton>
#include <QShowEvent>

namespace {
constexpr int kModalOk = 1;
constexpr int kModalCancel = 2;
} // namespace

TFormSearch::TFormSearch(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::TFormSearch>()) {
    ui_->setupUi(this);
    Edit1 = ui_->Edit1;
    Edit2 = ui_->Edit2;
    Button1 = ui_->Button1;
    Button2 = ui_->Button2;
    // A title bar with the system menu and the close box only: no help, minimize or
    // maximize box, and a size the user cannot change.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    connect(Button1, &QPushButton::clicked, this, &TFormSearch::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TFormSearch::Button2Click);
    FormCreate();
}

TFormSearch::~TFormSearch() = default;

void TFormSearch::FormCreate() {
    Edit1->clear();
    Edit2->clear();
    // Only the first showing starts here; later ones start wherever the focus was
    // when the dialog closed, which the window remembers by itself.
    Edit1->setFocus();
}

QString TFormSearch::FilterClauses(QVariantList* parameters) const {
    Q_ASSERT(parameters);
    QString clauses;
    if (!NameFilter.isEmpty()) {
        clauses += QStringLiteral(" And (InStr(WebName,?))");
        parameters->append(NameFilter);
    }
    if (!UrlFilter.isEmpty()) {
        clauses += QStringLiteral(" And (InStr(WebUrl,?))");
        parameters->append(UrlFilter);
    }
    return clauses;
}

int TFormSearch::exec() {
    // Anything but an accept, even the dialog being hidden from outside, leaves the
    // filters untouched and so counts as a cancel for the caller.
    return QDialog::exec() == kModalOk ? kModalOk : kModalCancel;
}

void TFormSearch::Button1Click() {
    NameFilter = Edit1->text();
    UrlFilter = Edit2->text();
    done(kModalOk);
}

void TFormSearch::Button2Click() {
    done(kModalCancel);
}

void TFormSearch::reject() {
    done(kModalCancel);
}

void TFormSearch::showEvent(QShowEvent* event) {
    // Before the window reaches the screen, so it never shows elsewhere first.
    if (!event->spontaneous())
        CentreOnOwner();
    QDialog::showEvent(event);
}

void TFormSearch::CentreOnOwner() {
    const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (!owner)
        return;
    const QRect area = owner->frameGeometry();
    const QSize outer = frameGeometry().size();
    move(area.x() + (area.width() - outer.width()) / 2,
         area.y() + (area.height() - outer.height()) / 2);
}

void TFormSearch::keyPressEvent(QKeyEvent* event) {
    // Neither button is a default or cancel button: Escape does nothing, and Enter
    // presses a button only when that button itself has the focus.
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget()); button && button->isEnabled())
            button->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
