#pragma once

#include "Query.h"

#include <QWidget>

#include <memory>

namespace Ui {
class TFormMain;
}
class Dialogs;
class TFormNote;
class TFormSearch;
class TShareDataModule;
class DataGrid;
class QMenu;
class QPlainTextEdit;
class QMenu;
class TFormFind;
class IndexKeeper;

// The main window: the site list, the details pane of the selected site, and the
// commands that add, edit and delete sites.
class TFormMain : public QWidget {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 762;
    static constexpr int kClientHeight = 493;

    explicit TFormMain(QWidget* parent = nullptr);
    ~TFormMain() override;

    // Wiring done at start-up, in creation order: the data module binds the list query
    // to its connection; the editor and the search dialog come later.
    void AttachDataModule(TShareDataModule* dataModule);
    void AttachForms(TFormNote* formNote, TFormSearch* formSearch);

    void RefreshSiteList();
    void ShowSiteDetails();

    void ActionNewExecute();
    void ActionDeleteExecute();
    void DBGridEh1DblClick();
    void Image1Click();
    void ActionRefreshExecute();
    void ActionAboutExecute();

    // The list's right-click menu: the commands that act on the list, with their keys.
    QMenu* ListMenu();
    // What the "关于" box says: version, licence, and where the catalogue and its backups are.
    QString AboutText() const;

    // The find window (Ctrl+F, and an entry of the list's context menu), and the keeper of
    // the index it reads, which it wakes when a find cannot read the index.
    void AttachIndexKeeper(IndexKeeper* keeper) { indexKeeper_ = keeper; }
    void ShowFindForm();
    void AddFindEntry(QMenu* menu);
    TFormFind* FormFind() const { return formFind_; }
    // Makes `site` the current row of the list, reopening it (without the filter when the
    // filter hides the site) when it is not there.
    void ShowSite(qint64 site);

    // What ShowSiteDetails built, with its CR LF line breaks.
    QString DetailsText() const { return details_; }

    Query ADOQuery1;
    DataGrid* DBGridEh1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormShow();
    void SetUpFind();
    void ADOQuery1AfterScroll();
    void SetDetails(const QString& text);
    void FixClientSize();
    void SetUpCommands();
    bool HasCurrentSite() const;
    Dialogs& Messages() const;

    std::unique_ptr<Ui::TFormMain> ui_;
    TShareDataModule* dataModule_ = nullptr;
    TFormNote* formNote_ = nullptr;
    TFormSearch* formSearch_ = nullptr;
    QMenu* listMenu_ = nullptr;
    QString details_;
    TFormFind* formFind_ = nullptr;
    IndexKeeper* indexKeeper_ = nullptr;
};
