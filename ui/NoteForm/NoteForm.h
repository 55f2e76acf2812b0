#pragma once

#include "ParagraphChange.h"
#include "PendingParagraphs.h"
#include "Query.h"
#include "SiteStore.h"

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui {
class TFormNote;
}
class DataGrid;
class DesktopOpener;
class Dialogs;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class SiteBoxes;
class TShareDataModule;

// The modal editor of one site record and its paragraphs. exec() returns 1 when OK ran
// to its end and 2 for every other ending.
class TFormNote : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 804;
    static constexpr int kClientHeight = 550;
    static constexpr int kResultOk = 1;
    static constexpr int kResultCancel = 2;

    // Without an opener the editor hands addresses to the desktop itself.
    explicit TFormNote(TShareDataModule* dataModule, QWidget* parent = nullptr,
                       DesktopOpener* opener = nullptr);
    ~TFormNote() override;

    // The WebIndex of the site being edited; 0 for a new site.
    int EditIndex = 0;
    // The WebIndex under which the last OK stored the site: EditIndex, unless the site had
    // been deleted meanwhile and was stored as a new one.
    qint64 SavedIndex() const { return savedIndex_; }

    void LoadParagraphs();

    void Button4Click();
    void Button15Click();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button5Click();

    // Every ending of the dialog goes through here, so the orphan paragraphs are
    // removed whichever way it closes.
    void done(int result) override;
    // Anything that would reject the dialog cancels it: the result is only ever 1 or 2.
    void reject() override;

    Query ADOQuery1;
    DataGrid* DBGridEh1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // What the showing learnt of the site being edited: only a site whose row was read
    // may be stored, since the boxes hold its texts and nobody else's.
    enum class SiteRead { Read, Missing, Unread };

    void MakeBoxes();
    void FormShow();
    void FormClose();
    void ADOQuery1AfterScroll();
    bool StoreSite();
    bool StoreNewSite(bool takeParagraphs);
    bool OfferAsNewSite();
    bool HasCurrentParagraph() const;
    void OpenAddress(const QLineEdit* box);
    void SetMemoText(const QString& text);
    QString ShownMemoText() const;
    QString MemoText(bool newParagraph) const;
    void KeepStoredParagraph(qint64 contentIndex);
    Dialogs& Messages() const;

    std::unique_ptr<Ui::TFormNote> ui_;
    TShareDataModule* dataModule_;
    std::unique_ptr<DesktopOpener> ownOpener_;
    DesktopOpener* opener_;
    std::unique_ptr<SiteBoxes> boxes_;
    std::unique_ptr<PendingParagraphs> pending_;
    std::unique_ptr<ParagraphChange> change_;
    std::unique_ptr<SiteStore> siteStore_;
    SiteRead siteRead_ = SiteRead::Unread;
    qint64 savedIndex_ = 0;
    // The paragraph text last put into Memo1 and how Memo1 showed it: the text box
    // turns every line break into LF, so an untouched text is written back as it came.
    QString memoSource_;
    QString memoShown_;
    // How Memo1 showed the current paragraph when it was read or last stored: "修改"
    // stores nothing while the text area still shows exactly that.
    QString paragraphShown_;
};
