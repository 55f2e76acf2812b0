#pragma once

#include <QDialog>
#include <QString>
#include <QVariantList>

// The filter dialog of the site list.
class TFormSearch : public QDialog {
    Q_OBJECT
public:
    explicit TFormSearch(QWidget* parent = nullptr);

    // The clauses the accepted filters add to the list statement, with the values
    // they bind appended to `parameters`.
    QString FilterClauses(QVariantList* parameters) const;

    QString NameFilter;
    QString UrlFilter;
};
