#pragma once

#include <QDialog>
#include <QString>
#include <QVariantList>

#include <memory>

namespace Ui {
class TFormSearch;
}
class QLineEdit;
class QPushButton;

// The filter dialog of the site list. It lives hidden for the whole run; what the user
// accepted in it stays in force for every later refresh of the list.
class TFormSearch : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 361;
    static constexpr int kClientHeight = 220;

    explicit TFormSearch(QWidget* parent = nullptr);
    ~TFormSearch() override;

    // The clauses the accepted filters add to the list statement. The filter texts
    // never become part of the statement text: each clause has a ? placeholder and its
    // text is appended to `parameters`, so any text, quotes included, is searched for
    // as it is and cannot break the statement.
    QString FilterClauses(QVariantList* parameters) const;

    // Always 1 (accepted) or 2 (cancelled, however the dialog went away).
    int exec() override;

    void Button1Click();
    void Button2Click();

    QString NameFilter;
    QString UrlFilter;

    QLineEdit* Edit1 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;

public slots:
    // The close box and Alt+F4 end up here; they cancel.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void FormCreate();

    std::unique_ptr<Ui::TFormSearch> ui_;
};
