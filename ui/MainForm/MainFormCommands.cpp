// The main window's commands beyond its buttons: the keys, the list's right-click menu and
// the "关于" box.
#include "Backup.h"
#include "DataGrid.h"
#include "Dialogs.h"
#include "MainForm.h"
#include "ShareDM.h"
#include "ui_MainForm.h"

#include <QFileInfo>
#include <QMenu>
#include <QTableView>

void TFormMain::SetUpCommands() {
    ui_->Button1->setDefaultAction(ui_->ActionNew);
    ui_->Button2->setDefaultAction(ui_->ActionDelete);
    // Delete belongs to the list alone: in the details pane it deletes typed text.
    DBGridEh1->addAction(ui_->ActionDelete);
    connect(ui_->ActionNew, &QAction::triggered, this, &TFormMain::ActionNewExecute);
    connect(ui_->ActionDelete, &QAction::triggered, this, &TFormMain::ActionDeleteExecute);
    connect(ui_->ActionSearch, &QAction::triggered, this, &TFormMain::Image1Click);
    connect(ui_->ActionRefresh, &QAction::triggered, this, &TFormMain::ActionRefreshExecute);
    connect(ui_->ActionAbout, &QAction::triggered, this, &TFormMain::ActionAboutExecute);
    ui_->Image1->installEventFilter(this);

    QTableView* view = DBGridEh1->View();
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& at) {
        ListMenu()->popup(view->viewport()->mapToGlobal(at));
    });
}

QMenu* TFormMain::ListMenu() {
    if (!listMenu_) {
        listMenu_ = new QMenu(this);
        listMenu_->setObjectName(QStringLiteral("ListMenu"));
        listMenu_->addAction(ui_->ActionDelete);
        listMenu_->addAction(ui_->ActionSearch);
        AddFindEntry(listMenu_);
        listMenu_->addAction(ui_->ActionRefresh);
        listMenu_->addSeparator();
        listMenu_->addAction(ui_->ActionAbout);
    }
    return listMenu_;
}

// The list opened again with the filter it has, to show what another copy changed; the
// site that was selected stays selected while it is still listed.
void TFormMain::ActionRefreshExecute() {
    const QVariant selected =
        HasCurrentSite() ? ADOQuery1.AsInteger(QStringLiteral("WebIndex")) : QVariant();
    RefreshSiteList();
    if (selected.isValid() && ADOQuery1.Active())
        ADOQuery1.Locate(QStringLiteral("WebIndex"), selected);
}

QString TFormMain::AboutText() const {
    const QString catalogue =
        dataModule_ ? QFileInfo(dataModule_->ADOConnection1.FileName()).absoluteFilePath()
                    : QString();
    return QStringLiteral("关于\n\n"
                          "Sitemora %1\n"
                          "Sitemora 是自由软件：您可以依照自由软件基金会发布的 GNU "
                          "通用公共许可证第 3 版或（由您选择）任何更高版本重新发布和修改它。"
                          "本程序不提供任何担保。\n\n"
                          "网站目录：%2\n"
                          "备份文件夹：%3")
        .arg(QStringLiteral(SITEMORA_VERSION), catalogue, Backup::FolderOf(catalogue));
}

void TFormMain::ActionAboutExecute() {
    if (dataModule_)
        Messages().Information(AboutText());
}
