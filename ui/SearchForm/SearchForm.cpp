#include "SearchForm.h"

TFormSearch::TFormSearch(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("FormSearch"));
}

QString TFormSearch::FilterClauses(QVariantList* /*parameters*/) const {
    return QString();
}
