#include "MainForm.h"

#include "DataGrid.h"
#include "Dialogs.h"
#include "NoteForm.h"
#include "PublicFunction.h"
#include "SearchForm.h"
#include "ShareDM.h"
#include "ui_MainForm.h"
#include "WaitCursor.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QShowEvent>
#include <QWindow>

namespace {
const QString kBreak = QStringLiteral("\r\n\r\n");
}

TFormMain::TFormMain(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::TFormMain>()) {
    ui_->setupUi(this);
    DBGridEh1 = ui_->DBGridEh1;
    Memo1 = ui_->Memo1;
    setWindowIcon(QIcon(QStringLiteral(":/icons/sitemora.svg")));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    FixClientSize();

    ADOQuery1.setObjectName(QStringLiteral("ADOQuery1"));
    // The list may hold a million sites: only their keys are read when it opens.
    ADOQuery1.SetReading(Query::Reading::Keys);
    DBGridEh1->SetQuery(
        &ADOQuery1,
        {{QStringLiteral("WebIndex"), QStringLiteral("编号"), 80, QStringLiteral("合计"), false},
         {QStringLiteral("WebName"), QStringLiteral("网站名称"), 210, QString(), true}});
    connect(&ADOQuery1, &Query::AfterScroll, this, &TFormMain::ADOQuery1AfterScroll);
    connect(DBGridEh1, &DataGrid::DblClick, this, &TFormMain::DBGridEh1DblClick);
    DBGridEh1->View()->setFocus();
    setFocusProxy(DBGridEh1->View());
    // A screen reader announces the view that takes the focus, not the grid around it.
    DBGridEh1->View()->setAccessibleName(DBGridEh1->accessibleName());
    SetUpCommands();

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    SetUpFind();
}

TFormMain::~TFormMain() = default;

void TFormMain::AttachDataModule(TShareDataModule* dataModule) {
    dataModule_ = dataModule;
    dataModule_->Bind(ADOQuery1);
    ShowWaitCursorWhileWaiting(dataModule_->ADOConnection1, this);
}

void TFormMain::AttachForms(TFormNote* formNote, TFormSearch* formSearch) {
    formNote_ = formNote;
    formSearch_ = formSearch;
}

Dialogs& TFormMain::Messages() const {
    return dataModule_->Messages();
}

// The window keeps its size unless maximized. A fixed size (minimum = maximum) would also
// keep the window manager from offering to maximize, so instead the window may only grow
// by a step larger than any screen: dragging its border cannot reach that step, and
// maximizing, which ignores steps, is left to work.
void TFormMain::FixClientSize() {
    static constexpr int kNoDragStep = 20000;
    setMinimumSize(kClientWidth, kClientHeight);
    resize(kClientWidth, kClientHeight);
    winId();
    windowHandle()->setBaseSize(size());
    windowHandle()->setSizeIncrement(QSize(kNoDragStep, kNoDragStep));
}

void TFormMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Coming back from minimized is not a showing of the window.
    if (!event->spontaneous())
        FormShow();
}

void TFormMain::FormShow() {
    DBGridEh1->View()->setFocus();
    RefreshSiteList();
}

bool TFormMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui_->Image1 && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
        ui_->Image1->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
        Image1Click();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TFormMain::SetDetails(const QString& text) {
    details_ = text;
    // The pane shows each CR LF as one line break.
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    Memo1->setPlainText(shown);
}

void TFormMain::RefreshSiteList() {
    if (!dataModule_)
        return;
    QString statement = QStringLiteral("Select * From Web Where (WebIndex > 0)");
    QVariantList parameters;
    if (formSearch_)
        statement += formSearch_->FilterClauses(&parameters);
    statement += QStringLiteral(" Order By WebIndex");
    if (!OpenQuery(ADOQuery1, statement, kOpenFailure, Messages(), parameters))
        return;
    // A non-empty open has already made the first row current and shown it.
    if (ADOQuery1.RecordCount() == 0)
        SetDetails(QString());
}

bool TFormMain::HasCurrentSite() const {
    return ADOQuery1.Active() && ADOQuery1.RecNo() >= 0 &&
           !ADOQuery1.IsNull(QStringLiteral("WebIndex"));
}

void TFormMain::ADOQuery1AfterScroll() {
    ShowSiteDetails();
}

void TFormMain::ShowSiteDetails() {
    SetDetails(QString());
    if (!dataModule_ || !HasCurrentSite()) {
        // A site another copy has deleted just shows nothing; one that could not be read
        // is a failed statement like any other.
        if (dataModule_ && !ADOQuery1.RowError().isEmpty())
            Messages().Information(kOpenFailure);
        return;
    }
    QString text;
    text += QStringLiteral("网站名称：") + ADOQuery1.AsString(QStringLiteral("WebName")) + kBreak;
    text += QStringLiteral("网站地址：") + ADOQuery1.AsString(QStringLiteral("WebUrl")) + kBreak;
    text += QStringLiteral("网站ＰＲ：") + ADOQuery1.AsString(QStringLiteral("WebPr")) + kBreak;
    const QString statement = QStringLiteral("Select * From Content Where ContentWeb = ") +
                              QString::number(ADOQuery1.AsInteger(QStringLiteral("WebIndex"))) +
                              QStringLiteral(" Order By ContentIndex");
    Query& paragraphs = dataModule_->ADOQueryTemp;
    if (OpenQuery(paragraphs, statement, kOpenFailure, Messages())) {
        if (paragraphs.RecordCount() > 0) {
            for (paragraphs.First(); !paragraphs.Eof(); paragraphs.Next())
                text += paragraphs.AsString(QStringLiteral("ContentTxt")) + kBreak;
        }
    }
    SetDetails(text);
}

void TFormMain::ActionNewExecute() {
    if (!formNote_)
        return;
    formNote_->EditIndex = 0;
    if (formNote_->exec() == 1)
        RefreshSiteList();
}

void TFormMain::DBGridEh1DblClick() {
    if (!formNote_ || !HasCurrentSite())
        return;
    const qint64 webIndex = ADOQuery1.AsInteger(QStringLiteral("WebIndex"));
    formNote_->EditIndex = static_cast<int>(webIndex);
    if (formNote_->exec() != 1)
        return;
    RefreshSiteList();
    // A site another copy deleted meanwhile may have been stored again under a new index.
    ADOQuery1.Locate(QStringLiteral("WebIndex"), formNote_->SavedIndex());
}

void TFormMain::ActionDeleteExecute() {
    if (!dataModule_)
        return;
    if (!HasCurrentSite()) {
        Messages().Information(QStringLiteral("请先选中要修改的记录"));
        return;
    }
    const QString id = QString::number(ADOQuery1.AsInteger(QStringLiteral("WebIndex")));
    if (!Messages().Confirm(QStringLiteral("您确定要删除该记录吗？"), QStringLiteral("删除确认")))
        return;

    // The site and its paragraphs go together or not at all: a failure half-way would
    // otherwise leave a site that has lost some of its paragraphs.
    WriteAction action(dataModule_->ADOConnection1, Messages());
    if (!action.Begin())
        return;
    Query& site = dataModule_->ADOQueryTemp;
    Query& paragraphs = dataModule_->ADOQueryTemp2;
    if (!OpenQuery(site, QStringLiteral("Select * From Web Where WebIndex = ") + id, kOpenFailure,
                   action.Messages()))
        return;
    if (site.RecordCount() == 0) {
        // Another copy deleted it after it was selected; the list still shows it.
        action.Messages().Information(QStringLiteral("该网站已不存在"));
        action.End();
        RefreshSiteList();
        return;
    }
    if (!OpenQuery(paragraphs, QStringLiteral("Select * From Content Where ContentWeb = ") + id,
                   kOpenFailure, action.Messages()))
        return;
    QString error;
    while (paragraphs.RecordCount() > 0) {
        paragraphs.First();
        if (!paragraphs.Delete(&error)) {
            action.Messages().ErrorReport(error);
            return;
        }
    }
    site.First();
    if (!site.Delete(&error)) {
        action.Messages().ErrorReport(error);
        return;
    }
    if (!action.Commit())
        return;
    Messages().Information(QStringLiteral("记录删除成功"));
    RefreshSiteList();
}

void TFormMain::Image1Click() {
    if (formSearch_ && formSearch_->exec() == 1)
        RefreshSiteList();
}
