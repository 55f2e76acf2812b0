#include "NoteForm.h"

#include "DataGrid.h"
#include "DesktopOpener.h"
#include "DialogKeys.h"
#include "Dialogs.h"
#include "PublicFunction.h"
#include "ShareDM.h"
#include "ui_NoteForm.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QPushButton>
#include <QShowEvent>
#include <QTableView>
#include <QTextDocument>

#include <limits>

namespace {

const QString kContentTxt = QStringLiteral("ContentTxt");
const QString kContentIndex = QStringLiteral("ContentIndex");

QString SiteStatement(int webIndex) {
    return QStringLiteral("Select * From Web Where WebIndex = ") + QString::number(webIndex);
}

QString ParagraphsOf(int webIndex) {
    return QStringLiteral("Select * From Content Where ContentWeb = ") + QString::number(webIndex);
}

} // namespace

TFormNote::TFormNote(TShareDataModule* dataModule, QWidget* parent, DesktopOpener* opener)
    : QDialog(parent), ui_(std::make_unique<Ui::TFormNote>()), dataModule_(dataModule),
      opener_(opener) {
    if (!opener_) {
        ownOpener_ = std::make_unique<SystemDesktopOpener>();
        opener_ = ownOpener_.get();
    }
    ui_->setupUi(this);
    DBGridEh1 = ui_->DBGridEh1;
    Memo1 = ui_->Memo1;
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);

    fields_ = {{{ui_->WebName, QStringLiteral("WebName")},
                {ui_->WebUrl, QStringLiteral("WebUrl")},
                {ui_->WebPr, QStringLiteral("WebPr")},
                {ui_->User1, QStringLiteral("WebUser1")},
                {ui_->Key1, QStringLiteral("WebKey1")},
                {ui_->User2, QStringLiteral("WebUser2")},
                {ui_->Key2, QStringLiteral("WebKey2")},
                {ui_->User3, QStringLiteral("WebUser3")},
                {ui_->Key3, QStringLiteral("WebKey3")},
                {ui_->SonName1, QStringLiteral("WebSonName1")},
                {ui_->SonPage1, QStringLiteral("WebSonPage1")},
                {ui_->SonName2, QStringLiteral("WebSonName2")},
                {ui_->SonPage2, QStringLiteral("WebSonPage2")},
                {ui_->SonName3, QStringLiteral("WebSonName3")},
                {ui_->SonPage3, QStringLiteral("WebSonPage3")},
                {ui_->SonName4, QStringLiteral("WebSonName4")},
                {ui_->SonPage4, QStringLiteral("WebSonPage4")},
                {ui_->SonName5, QStringLiteral("WebSonName5")},
                {ui_->SonPage5, QStringLiteral("WebSonPage5")},
                {ui_->SonName6, QStringLiteral("WebSonName6")},
                {ui_->SonPage6, QStringLiteral("WebSonPage6")},
                {ui_->SonName7, QStringLiteral("WebSonName7")},
                {ui_->SonPage7, QStringLiteral("WebSonPage7")},
                {ui_->SonName8, QStringLiteral("WebSonName8")},
                {ui_->SonPage8, QStringLiteral("WebSonPage8")}}};
    // A line edit cuts its text at 32767 characters unless told otherwise, which would
    // silently shorten a long address or note when the site is stored again.
    for (const Field& field : fields_)
        field.box->setMaxLength(std::numeric_limits<int>::max());

    ADOQuery1.setObjectName(QStringLiteral("ADOQuery1"));
    if (dataModule_)
        dataModule_->Bind(ADOQuery1);
    DBGridEh1->SetQuery(&ADOQuery1,
                        {{kContentTxt, QStringLiteral("段落内容"), 100, QString(), true}});
    connect(&ADOQuery1, &Query::AfterScroll, this, &TFormNote::ADOQuery1AfterScroll);
    // The grid's focus lives in its view, which the form file cannot name.
    setTabOrder(ui_->Button14, DBGridEh1->View());
    setTabOrder(DBGridEh1->View(), ui_->Button1);

    connect(ui_->Button4, &QPushButton::clicked, this, &TFormNote::Button4Click);
    connect(ui_->Button15, &QPushButton::clicked, this, &TFormNote::Button15Click);
    connect(ui_->Button1, &QPushButton::clicked, this, &TFormNote::Button1Click);
    connect(ui_->Button2, &QPushButton::clicked, this, &TFormNote::Button2Click);
    connect(ui_->Button3, &QPushButton::clicked, this, &TFormNote::Button3Click);
    connect(ui_->Button5, &QPushButton::clicked, this, &TFormNote::Button5Click);
    const std::array<std::pair<QPushButton*, QLineEdit*>, 9> openers = {{
        {ui_->Button6, ui_->WebUrl},
        {ui_->Button7, ui_->SonPage1},
        {ui_->Button8, ui_->SonPage2},
        {ui_->Button9, ui_->SonPage3},
        {ui_->Button10, ui_->SonPage4},
        {ui_->Button11, ui_->SonPage5},
        {ui_->Button12, ui_->SonPage6},
        {ui_->Button13, ui_->SonPage7},
        {ui_->Button14, ui_->SonPage8},
    }};
    for (const auto& [button, box] : openers)
        connect(button, &QPushButton::clicked, this, [this, box = box] { OpenAddress(box); });
}

TFormNote::~TFormNote() = default;

Dialogs& TFormNote::Messages() const {
    return dataModule_->Messages();
}

void TFormNote::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    CentreOnOwner(this);
    FormShow();
}

void TFormNote::FormShow() {
    if (!dataModule_)
        return;
    if (EditIndex != 0) {
        Query& site = dataModule_->ADOQueryTemp;
        if (!OpenQuery(site, SiteStatement(EditIndex), kOpenFailure, Messages())) {
            // The boxes would still hold the previously edited site; emptied, an OK
            // cannot store that site's texts over this one.
            ClearFields();
            return;
        }
        if (site.RecordCount() > 0) {
            site.First();
            for (const Field& field : fields_) {
                field.box->setText(site.AsString(field.column));
                field.box->setCursorPosition(0);
            }
        }
    } else {
        ClearFields();
    }
    ui_->WebName->setFocus();
    LoadParagraphs();
}

void TFormNote::ClearFields() {
    for (const Field& field : fields_)
        field.box->clear();
}

void TFormNote::WriteFields(Query& site) const {
    for (const Field& field : fields_)
        site.SetField(field.column, field.box->text());
}

void TFormNote::Button4Click() {
    if (!dataModule_)
        return;
    if (ui_->WebName->text().isEmpty()) {
        Messages().Information(QStringLiteral("网站名称不能为空"));
        ui_->WebName->setFocus();
        return;
    }
    const bool stored = EditIndex != 0 ? StoreSite() : StoreNewSite();
    if (stored)
        done(kResultOk);
}

bool TFormNote::StoreSite() {
    Query& site = dataModule_->ADOQueryTemp;
    if (!OpenQuery(site, SiteStatement(EditIndex), kOpenFailure, Messages()))
        return false;
    // Another running copy may have deleted the site meanwhile: nothing to write.
    if (site.RecordCount() == 0)
        return true;
    site.First();
    site.Edit();
    WriteFields(site);
    QString error;
    if (!site.Post(&error)) {
        site.Cancel();
        Messages().ErrorReport(error);
        return false;
    }
    Messages().Information(QStringLiteral("记录修改成功"));
    return true;
}

bool TFormNote::StoreNewSite() {
    // The new record and the hand-over of its paragraphs are one change: were the
    // hand-over to fail after the record was stored, the editor would stay open on a
    // site that already exists, and a second OK would store it twice.
    Transaction transaction(dataModule_->ADOConnection1);
    QString error;
    if (!transaction.Begin(&error)) {
        Messages().Information(kOpenFailure);
        return false;
    }
    Query& site = dataModule_->ADOQueryTemp;
    site.SkipRowsOnNextOpen();
    if (!OpenQuery(site, QStringLiteral("Select * From Web"), kOpenFailure, Messages()))
        return false;
    site.Append();
    WriteFields(site);
    if (!site.Post(&error)) {
        site.Cancel();
        Messages().ErrorReport(error);
        return false;
    }
    if (!ReparentOrphans(site.AsInteger(QStringLiteral("WebIndex"))))
        return false;
    if (!transaction.Commit(&error)) {
        Messages().ErrorReport(error);
        return false;
    }
    return true;
}

bool TFormNote::ReparentOrphans(qint64 webIndex) {
    Query& orphans = dataModule_->ADOQueryTemp2;
    if (!OpenQuery(orphans, ParagraphsOf(EditIndex), kOpenFailure, Messages()))
        return false;
    QString error;
    for (orphans.First(); !orphans.Eof(); orphans.Next()) {
        orphans.Edit();
        orphans.SetField(QStringLiteral("ContentWeb"), webIndex);
        if (!orphans.Post(&error)) {
            orphans.Cancel();
            Messages().ErrorReport(error);
            return false;
        }
    }
    return true;
}

void TFormNote::Button15Click() {
    done(kResultCancel);
}

void TFormNote::done(int result) {
    if (isVisible())
        FormClose();
    QDialog::done(result);
}

// The close box, Alt+F4 and the system menu all end up here.
void TFormNote::closeEvent(QCloseEvent* event) {
    if (isVisible())
        done(kResultCancel);
    event->accept();
}

void TFormNote::reject() {
    done(kResultCancel);
}

void TFormNote::keyPressEvent(QKeyEvent* event) {
    if (!HandleDialogKeys(this, event))
        QDialog::keyPressEvent(event);
}

void TFormNote::FormClose() {
    if (!dataModule_)
        return;
    Query& orphans = dataModule_->ADOQueryTemp;
    if (!OpenQuery(orphans, QStringLiteral("Select * From Content Where ContentWeb = 0"),
                   kOpenFailure, Messages()))
        return;
    QString error;
    for (orphans.First(); !orphans.Eof(); orphans.First()) {
        // A refused delete would leave the row first for ever.
        if (!orphans.Delete(&error)) {
            Messages().ErrorReport(error);
            return;
        }
    }
}

void TFormNote::OpenAddress(const QLineEdit* box) {
    const QString text = box->text();
    if (!text.isEmpty())
        opener_->Open(text);
}

void TFormNote::LoadParagraphs() {
    if (!dataModule_)
        return;
    if (!OpenQuery(ADOQuery1, ParagraphsOf(EditIndex) + QStringLiteral(" Order By ContentIndex"),
                   kOpenFailure, Messages()))
        return;
    // A non-empty open has already made the first paragraph current and shown it.
    if (ADOQuery1.RecordCount() == 0)
        SetMemoText(QString());
}

bool TFormNote::HasCurrentParagraph() const {
    return ADOQuery1.Active() && ADOQuery1.RecNo() >= 0 && !ADOQuery1.IsNull(kContentIndex);
}

void TFormNote::ADOQuery1AfterScroll() {
    if (HasCurrentParagraph())
        SetMemoText(ADOQuery1.AsString(kContentTxt));
}

void TFormNote::Button1Click() {
    if (!dataModule_)
        return;
    Query& paragraphs = dataModule_->ADOQueryTemp;
    paragraphs.SkipRowsOnNextOpen();
    if (!OpenQuery(paragraphs, QStringLiteral("Select * From Content"), kOpenFailure, Messages()))
        return;
    paragraphs.Append();
    paragraphs.SetField(QStringLiteral("ContentWeb"), EditIndex);
    paragraphs.SetField(kContentTxt, MemoText());
    QString error;
    if (!paragraphs.Post(&error)) {
        paragraphs.Cancel();
        Messages().ErrorReport(error);
        return;
    }
    LoadParagraphs();
}

void TFormNote::Button2Click() {
    if (!HasCurrentParagraph())
        return;
    const QString text = MemoText();
    ADOQuery1.Edit();
    ADOQuery1.SetField(kContentTxt, text);
    QString error;
    if (!ADOQuery1.Post(&error)) {
        ADOQuery1.Cancel();
        Messages().ErrorReport(error);
        return;
    }
    memoSource_ = text;
    memoShown_ = ShownMemoText();
    Messages().Information(QStringLiteral("记录修改成功"));
}

void TFormNote::Button3Click() {
    if (!HasCurrentParagraph())
        return;
    const QString id = QString::number(ADOQuery1.AsInteger(kContentIndex));
    if (!Messages().Confirm(QStringLiteral("您确定要删除该记录吗？"), QStringLiteral("删除确认")))
        return;
    Query& paragraph = dataModule_->ADOQueryTemp;
    if (!OpenQuery(paragraph, QStringLiteral("Select * From Content Where ContentIndex = ") + id,
                   kOpenFailure, Messages()))
        return;
    if (paragraph.RecordCount() == 0)
        return;
    paragraph.First();
    QString error;
    if (!paragraph.Delete(&error)) {
        Messages().ErrorReport(error);
        return;
    }
    Messages().Information(QStringLiteral("记录删除成功"));
    LoadParagraphs();
}

void TFormNote::Button5Click() {
    SetMemoText(QString());
}

void TFormNote::SetMemoText(const QString& text) {
    memoSource_ = text;
    Memo1->setPlainText(text);
    memoShown_ = ShownMemoText();
}

// What the text area holds, with its block breaks as LF. toPlainText() would also turn
// no-break spaces into plain spaces, which is not what the user typed.
QString TFormNote::ShownMemoText() const {
    return Memo1->document()->toRawText().replace(QChar::ParagraphSeparator, u'\n');
}

QString TFormNote::MemoText() const {
    QString shown = ShownMemoText();
    if (shown == memoShown_)
        return memoSource_;
    if (memoSource_.contains(QLatin1String("\r\n")))
        shown.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return shown;
}
