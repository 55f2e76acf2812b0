// The main window's side of the find window: how it is opened and what choosing a result
// does to the list.
#include "MainForm.h"

#include "DataGrid.h"
#include "FindForm.h"
#include "IndexKeeper.h"
#include "SearchForm.h"
#include "ShareDM.h"

#include <QLineEdit>
#include <QMenu>
#include <QShortcut>

void TFormMain::SetUpFind() {
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_F), this);
    connect(shortcut, &QShortcut::activated, this, &TFormMain::ShowFindForm);
}

void TFormMain::AddFindEntry(QMenu* menu) {
    QAction* find = menu->addAction(QStringLiteral("查找…"), this, &TFormMain::ShowFindForm);
    find->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
}

void TFormMain::ShowFindForm() {
    if (!dataModule_)
        return;
    if (!formFind_) {
        formFind_ = new TFormFind(dataModule_->ADOConnection1.FileName(), this);
        connect(formFind_, &TFormFind::SiteChosen, this, &TFormMain::ShowSite);
        connect(formFind_, &TFormFind::IndexFailed, this, [this] {
            if (indexKeeper_)
                indexKeeper_->Wake(true);
        });
    }
    formFind_->show();
    formFind_->raise();
    formFind_->activateWindow();
    formFind_->Edit1->setFocus();
    formFind_->Edit1->selectAll();
}

void TFormMain::ShowSite(qint64 site) {
    const auto locate = [&] {
        return ADOQuery1.Active() && ADOQuery1.Locate(QStringLiteral("WebIndex"), site);
    };
    if (locate())
        return;
    // Stored after the list was opened, or hidden by the filter.
    RefreshSiteList();
    if (locate() || !formSearch_ ||
        (formSearch_->NameFilter.isEmpty() && formSearch_->UrlFilter.isEmpty()))
        return;
    // As an accepted search with both boxes emptied would.
    formSearch_->Edit1->clear();
    formSearch_->Edit2->clear();
    formSearch_->NameFilter.clear();
    formSearch_->UrlFilter.clear();
    RefreshSiteList();
    locate();
}
