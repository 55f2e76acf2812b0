// A start on an encrypted catalogue: the passphrase asked in a dialog before the list opens,
// asked again when wrong, and a cancel that goes on as a failed open.
#include "../data/CipherTesting.h"
#include "Catalogue.h"
#include "DataGrid.h"
#include "DesktopOpener.h"
#include "PassphraseForm.h"
#include "PublicFunction.h"
#include "Session.h"
#include "support/RecordingDialogs.h"
#include "support/TempCatalogue.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

const QByteArray kPassphrase = "correct horse 7";

struct IgnoringOpener : DesktopOpener {
    void Open(const QString&, FailureReport) override {}
};

// Answers the next passphrase dialogs as a user would: typed, then "确定" or "取消"
// clicked; records what each said.
struct User {
    struct Answer {
        QString typed;
        bool ok;
    };
    QList<Answer> answers;
    QStringList prompts;

    void Expect(QList<Answer> next) {
        answers = std::move(next);
        Poll();
    }
    void Poll() {
        QTimer::singleShot(10, [this] {
            auto* dialog = qobject_cast<TFormPassphrase*>(QApplication::activeModalWidget());
            if (!dialog) {
                if (!answers.isEmpty())
                    Poll();
                return;
            }
            const Answer answer = answers.takeFirst();
            prompts << dialog->Prompt();
            QTest::keyClicks(dialog->Edit(), answer.typed);
            QTest::mouseClick(answer.ok ? dialog->OkButton() : dialog->CancelButton(),
                              Qt::LeftButton);
            if (!answers.isEmpty())
                Poll();
        });
    }
};

} // namespace

class TestUnlock : public QObject {
    Q_OBJECT

    std::unique_ptr<TempCatalogue> catalogue_;

private slots:
    void initTestCase() { UseCheapKeys(); }

    void init() {
        catalogue_ = std::make_unique<TempCatalogue>(TempCatalogue::Start::WithoutFile);
        const Cipher::Secret passphrase = SecretOf(kPassphrase);
        QVERIFY(Catalogue::CreateEmpty(catalogue_->Path(), nullptr, &passphrase));
        Sqlite::Database db;
        QVERIFY(Catalogue::OpenExisting(catalogue_->Path(), Catalogue::Access::ReadWrite, &db,
                                        nullptr));
        QVERIFY(Sqlite::Exec(db.Get(), "INSERT INTO Web (WebName, WebKey1) VALUES ('新浪', 'Pass77')",
                             nullptr));
        db = Sqlite::Database();
        Cipher::ForgetKeys();
        QVERIFY(catalogue_->EnterDir());
    }

    void cleanup() {
        Cipher::ForgetKeys();
        catalogue_.reset();
    }

    void aWrongPassphraseIsAskedAgainThenTheListOpens() {
        RecordingDialogs dialogs;
        IgnoringOpener opener;
        User user;
        user.Expect({{QStringLiteral("wrong"), true}, {QString::fromUtf8(kPassphrase), true}});
        Session session(dialogs, opener);
        session.FormMain().show();
        QVERIFY(QTest::qWaitForWindowExposed(&session.FormMain()));
        QCOMPARE(user.prompts.size(), 2);
        QVERIFY(user.prompts[0].contains(QStringLiteral("已加密")));
        QVERIFY(user.prompts[1].contains(QStringLiteral("密码错误")));
        QCOMPARE(session.FormMain().DBGridEh1->View()->model()->rowCount(), 1);
        QCOMPARE(dialogs.Shown(), 0);
        // The start's backup is made with the key, and encrypted like the catalogue.
        const QString folder = catalogue_->FilePath(QStringLiteral("Sitemora.mdb.backups"));
        QTRY_COMPARE(QDir(folder).entryList({QStringLiteral("*.mdb")}).size(), 1);
        const QString backup =
            QDir(folder).filePath(QDir(folder).entryList({QStringLiteral("*.mdb")}).first());
        QCOMPARE(PlainTextIn(backup, {"Pass77", QStringLiteral("新浪").toUtf8()}), QStringList());
    }

    void cancelIsAFailedOpenAndTheNextOpenAsksAgain() {
        RecordingDialogs dialogs;
        IgnoringOpener opener;
        User user;
        user.Expect({{QString(), false}});
        Session session(dialogs, opener);
        session.FormMain().show();
        QVERIFY(QTest::qWaitForWindowExposed(&session.FormMain()));
        QTRY_VERIFY(dialogs.Informations().contains(kOpenFailure) ||
                    dialogs.Errors().contains(kOpenFailure));
        QTableView* list = session.FormMain().DBGridEh1->View();
        QCOMPARE(list->model()->rowCount(), 0);

        user.Expect({{QString::fromUtf8(kPassphrase), true}});
        list->setFocus();
        QTest::keyClick(list, Qt::Key_F5);
        QTRY_COMPARE(list->model()->rowCount(), 1);
        QCOMPARE(user.prompts.size(), 2);
    }
};

QTEST_MAIN(TestUnlock)
#include "tst_unlock.moc"
