#pragma once

#include "DataGrid.h"
#include "DesktopOpener.h"
#include "NoteForm.h"
#include "ShareDM.h"
#include "support/RecordingDialogs.h"
#include "support/RecordingOpener.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTableView>
#include <QTest>
#include <QTextDocument>
#include <QWindow>

// The editor as start-up wires it, over the catalogue in the current directory, with a
// plain window standing in for the main window that owns it.
struct EditorFixture {
    RecordingDialogs dialogs;
    RecordingOpener opener;
    QWidget owner;
    TShareDataModule dataModule{dialogs};
    TFormNote form{&dataModule, &owner, &opener};

    // Shown without a nested event loop so the test keeps control; done() sets the same
    // result that exec() would return.
    bool Show(int editIndex) {
        form.EditIndex = editIndex;
        form.setResult(0);
        form.show();
        return QTest::qWaitForWindowActive(&form);
    }
    bool Open() const { return form.isVisible(); }
    int Result() const { return form.result(); }

    QLineEdit* Box(const QString& name) { return form.findChild<QLineEdit*>(name); }
    QPushButton* Button(const QString& name) { return form.findChild<QPushButton*>(name); }
    void Click(const QString& name) { QTest::mouseClick(Button(name), Qt::LeftButton); }

    // What the text area holds, without toPlainText()'s rewriting of no-break spaces.
    QString Memo() const {
        return form.Memo1->document()->toRawText().replace(QChar::ParagraphSeparator, u'\n');
    }
    void SetMemo(const QString& text) { form.Memo1->setPlainText(text); }

    QTableView* Grid() const { return form.DBGridEh1->View(); }
    int Rows() const { return Grid()->model()->rowCount(); }
    QString Footer() const { return form.DBGridEh1->FooterText(0); }
    void SelectParagraph(int row) {
        QTest::mouseClick(Grid()->viewport(), Qt::LeftButton, {},
                          Grid()->visualRect(Grid()->model()->index(row, 0)).center());
    }

    // What the window system sends for the close box, Alt+F4 and the system menu.
    void CloseBox() {
        QCloseEvent event;
        QCoreApplication::sendEvent(form.windowHandle(), &event);
    }
};

// The 25 boxes in the order their Web columns are written.
inline const QList<QPair<QString, QString>>& BoxColumns() {
    static const QList<QPair<QString, QString>> pairs = [] {
        QList<QPair<QString, QString>> p{
            {"WebName", "WebName"}, {"WebUrl", "WebUrl"},  {"WebPr", "WebPr"},
            {"User1", "WebUser1"},  {"Key1", "WebKey1"},   {"User2", "WebUser2"},
            {"Key2", "WebKey2"},    {"User3", "WebUser3"}, {"Key3", "WebKey3"}};
        for (int n = 1; n <= 8; ++n) {
            p.append({QStringLiteral("SonName%1").arg(n), QStringLiteral("WebSonName%1").arg(n)});
            p.append({QStringLiteral("SonPage%1").arg(n), QStringLiteral("WebSonPage%1").arg(n)});
        }
        return p;
    }();
    return pairs;
}
