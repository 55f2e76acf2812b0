#include "NoteForm.h"

#include "Catalogue.h"
#include "DataGrid.h"
#include "DesktopOpener.h"
#include "DialogKeys.h"
#include "Dialogs.h"
#include "PublicFunction.h"
#include "ShareDM.h"
#include "SiteBoxes.h"
#include "ui_NoteForm.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QPointer>
#include <QPushButton>
#include <QShowEvent>
#include <QTableView>
#include <QTextDocument>

#include <array>
#include <limits>

namespace {

const QString kContentTxt = QStringLiteral("ContentTxt");
const QString kContentIndex = QStringLiteral("ContentIndex");
const QString kSiteGone = QStringLiteral("该网站已不存在");
const QString kSiteUnread = QStringLiteral("未能读取该网站的记录，不能保存");
const QString kSaveTitle = QStringLiteral("保存确认");
const QString kChanged = QStringLiteral("记录修改成功");

QString ChangedMeanwhile(const QString& what) {
    return QStringLiteral("以下内容在您编辑期间已被修改：%1。\n是否用您填写的内容覆盖？").arg(what);
}

// A paragraph is named to the user by its first line, as the list shows it.
QString ParagraphName(const QString& text) {
    static constexpr int kLongest = 30;
    QString line = text.section(QLatin1Char('\n'), 0, 0);
    if (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    if (line.size() > kLongest)
        line = line.left(kLongest) + QStringLiteral("…");
    return QStringLiteral("段落“%1”").arg(line);
}

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

    MakeBoxes();

    ADOQuery1.setObjectName(QStringLiteral("ADOQuery1"));
    if (dataModule_) {
        dataModule_->Bind(ADOQuery1);
        pending_ = std::make_unique<PendingParagraphs>(dataModule_->ADOConnection1);
        change_ = std::make_unique<ParagraphChange>(dataModule_->ADOConnection1, ADOQuery1,
                                                    dataModule_->ADOQueryTemp);
        siteStore_ =
            std::make_unique<SiteStore>(dataModule_->ADOConnection1, dataModule_->ADOQueryTemp,
                                        dataModule_->ADOQueryTemp2, *pending_);
    }
    DBGridEh1->SetQuery(&ADOQuery1,
                        {{kContentTxt, QStringLiteral("段落内容"), 100, QString(), true}});
    connect(&ADOQuery1, &Query::AfterScroll, this, &TFormNote::ADOQuery1AfterScroll);
    // The grid's focus lives in its view, which the form file cannot name.
    setTabOrder(ui_->Button14, DBGridEh1->View());
    setTabOrder(DBGridEh1->View(), ui_->Button1);
    // A screen reader announces the view that takes the focus, not the grid around it.
    DBGridEh1->View()->setAccessibleName(DBGridEh1->accessibleName());

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

// Each box with its column, in the order the columns are written. A box is named to the
// user, in messages too, by its accessible name: its label, and where a label stands for
// several boxes, which one.
void TFormNote::MakeBoxes() {
    const std::array<QLineEdit*, 9> record = {ui_->WebName, ui_->WebUrl, ui_->WebPr,
                                              ui_->User1,   ui_->Key1,   ui_->User2,
                                              ui_->Key2,    ui_->User3,  ui_->Key3};
    std::vector<SiteBoxes::Box> boxes;
    boxes.reserve(Catalogue::WebTextColumns().size());
    for (int i = 0; i < static_cast<int>(record.size()); ++i)
        boxes.push_back({record[i], Catalogue::WebTextColumns()[i], record[i]->accessibleName()});
    for (int n = 1; n <= 8; ++n) {
        for (const QString& part : {QStringLiteral("Name"), QStringLiteral("Page")}) {
            auto* box = findChild<QLineEdit*>(QStringLiteral("Son%1%2").arg(part).arg(n));
            boxes.push_back(
                {box, QStringLiteral("WebSon%1%2").arg(part).arg(n), box->accessibleName()});
        }
    }
    // A line edit cuts its text at 32767 characters unless told otherwise, which would
    // silently shorten a long address or note when the site is stored again.
    for (const SiteBoxes::Box& box : boxes)
        box.edit->setMaxLength(std::numeric_limits<int>::max());
    boxes_ = std::make_unique<SiteBoxes>(std::move(boxes));
}

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
    savedIndex_ = 0;
    if (EditIndex != 0) {
        siteRead_ = SiteRead::Unread;
        Query& site = dataModule_->ADOQueryTemp;
        // The boxes and the paragraph list still hold the previously edited site;
        // emptied, nobody takes them for this site's texts.
        boxes_->Clear();
        if (!OpenQuery(site, SiteStatement(EditIndex), kOpenFailure, Messages())) {
            ADOQuery1.Close();
            SetMemoText(QString());
            return;
        }
        siteRead_ = SiteRead::Missing;
        if (site.RecordCount() > 0) {
            site.First();
            boxes_->Fill(site);
            siteRead_ = SiteRead::Read;
        }
    } else {
        boxes_->Clear();
        siteRead_ = SiteRead::Read;
        if (!siteStore_->ClaimLeftBehind(Messages()))
            return;
    }
    ui_->WebName->setFocus();
    LoadParagraphs();
}

void TFormNote::Button4Click() {
    if (!dataModule_)
        return;
    if (ui_->WebName->text().isEmpty()) {
        Messages().Information(QStringLiteral("网站名称不能为空"));
        ui_->WebName->setFocus();
        return;
    }
    if (EditIndex != 0 && siteRead_ != SiteRead::Read) {
        Messages().Information(siteRead_ == SiteRead::Missing ? kSiteGone : kSiteUnread);
        return;
    }
    const bool stored = EditIndex != 0 ? StoreSite() : StoreNewSite(true);
    if (stored)
        done(kResultOk);
}

// Writes the boxes the user changed, and only those. Where another running copy changed
// one of the same columns, the user decides; the question is asked with the file
// unlocked, and the comparison is made again afterwards in case that copy stored once
// more meanwhile.
bool TFormNote::StoreSite() {
    std::vector<int> changed = boxes_->Changed();
    for (;;) {
        std::vector<SiteStore::Conflict> conflicts;
        switch (siteStore_->Store(EditIndex, boxes_->Columns(changed), Messages(), &conflicts)) {
        case SiteStore::Outcome::Failed:
            return false;
        case SiteStore::Outcome::Gone:
            return OfferAsNewSite();
        case SiteStore::Outcome::Stored:
            savedIndex_ = EditIndex;
            Messages().Information(kChanged);
            return true;
        case SiteStore::Outcome::ChangedElsewhere:
            break;
        }
        std::vector<int> boxes;
        boxes.reserve(conflicts.size());
        for (const SiteStore::Conflict& conflict : conflicts)
            boxes.push_back(changed[conflict.column]);
        const bool overwrite = Messages().Confirm(
            ChangedMeanwhile(boxes_->Labels(boxes).join(QStringLiteral("、"))), kSaveTitle);
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            if (overwrite) {
                boxes_->Overwrite(boxes[i], conflicts[i].stored);
            } else {
                boxes_->KeepStored(boxes[i], conflicts[i].stored);
                std::erase(changed, boxes[i]);
            }
        }
    }
}

// The site was deleted by another running copy while this editor showed it. Its texts
// are still in the boxes; they are stored again only as a new site, if the user says so.
bool TFormNote::OfferAsNewSite() {
    if (!Messages().Confirm(kSiteGone + QStringLiteral("。是否把这些内容存为新网站？"), kSaveTitle))
        return false;
    return StoreNewSite(false);
}

bool TFormNote::StoreNewSite(bool takeParagraphs) {
    qint64 webIndex = 0;
    if (!siteStore_->StoreNew(boxes_->Columns(), takeParagraphs, Messages(), &webIndex))
        return false;
    savedIndex_ = webIndex;
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
    if (dataModule_)
        siteStore_->DropPending(Messages());
}

void TFormNote::OpenAddress(const QLineEdit* box) {
    const QString text = box->text();
    if (text.isEmpty())
        return;
    // The desktop answers later, by when the editor may be gone.
    opener_->Open(text, [form = QPointer<TFormNote>(this), text](const QString& reason) {
        if (form)
            form->Messages().ErrorReport(
                QStringLiteral("无法打开 %1\n%2").arg(text.trimmed(), reason));
    });
}

void TFormNote::LoadParagraphs() {
    if (!dataModule_)
        return;
    const QString mine = EditIndex == 0 ? pending_->MineClause() : QString();
    if (!OpenQuery(ADOQuery1,
                   ParagraphsOf(EditIndex) + mine + QStringLiteral(" Order By ContentIndex"),
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
    if (!HasCurrentParagraph())
        return;
    SetMemoText(ADOQuery1.AsString(kContentTxt));
    paragraphShown_ = memoShown_;
}

void TFormNote::Button1Click() {
    if (!dataModule_)
        return;
    switch (siteStore_->AddParagraph(EditIndex, MemoText(true), Messages())) {
    case SiteStore::Outcome::Stored:
        LoadParagraphs();
        return;
    case SiteStore::Outcome::Gone:
        Messages().Information(kSiteGone + QStringLiteral("，段落未保存"));
        return;
    default:
        return;
    }
}

// Only a text the user changed is stored, so an untouched paragraph neither overwrites
// what another running copy stored meanwhile nor gains a value it never had. Where that
// copy changed it too, the user decides, with the file unlocked, as for the site's boxes.
void TFormNote::Button2Click() {
    if (!HasCurrentParagraph())
        return;
    if (ShownMemoText() == paragraphShown_) {
        Messages().Information(kChanged);
        return;
    }
    const QString text = MemoText(false);
    const QString listed = ADOQuery1.AsString(kContentTxt);
    QString expected = listed;
    for (;;) {
        QString stored;
        switch (change_->Store(expected, text, Messages(), &stored)) {
        case ParagraphChange::Outcome::Failed:
            return;
        case ParagraphChange::Outcome::Gone:
            Messages().Information(QStringLiteral("该段落已不存在，修改未保存"));
            return;
        case ParagraphChange::Outcome::ChangedElsewhere:
            if (!Messages().Confirm(ChangedMeanwhile(ParagraphName(listed)), kSaveTitle)) {
                KeepStoredParagraph(ADOQuery1.AsInteger(kContentIndex));
                Messages().Information(kChanged);
                return;
            }
            expected = stored;
            continue;
        case ParagraphChange::Outcome::Stored:
            memoSource_ = text;
            memoShown_ = ShownMemoText();
            paragraphShown_ = memoShown_;
            Messages().Information(kChanged);
            return;
        }
    }
}

// The user kept what another copy stored: the list and the text area show that text.
void TFormNote::KeepStoredParagraph(qint64 contentIndex) {
    LoadParagraphs();
    if (ADOQuery1.Active())
        ADOQuery1.Locate(kContentIndex, contentIndex);
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

// A new or changed paragraph gets the CR LF line breaks of the catalogue's other texts,
// whatever the text area showed before; one stored untouched stays exactly as it was.
QString TFormNote::MemoText(bool newParagraph) const {
    QString shown = ShownMemoText();
    if (!newParagraph && shown == memoShown_)
        return memoSource_;
    return shown.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
}
