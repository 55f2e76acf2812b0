#include "SearchForm.h"

#include "DialogKeys.h"
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
        CentreOnOwner(this);
    QDialog::showEvent(event);
}

void TFormSearch::keyPressEvent(QKeyEvent* event) {
    if (!HandleDialogKeys(this, event))
        QDialog::keyPressEvent(event);
}
