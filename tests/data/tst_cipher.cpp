// The encrypted catalogue as it lies on disk: no text of it in any file, a wrong passphrase
// that changes nothing, damage told as damage, and plain catalogues as they always were.
#include "Backup.h"
#include "Catalogue.h"
#include "CipherTesting.h"
#include "Sqlite.h"
#include "support/TempCatalogue.h"

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

namespace {

const QByteArray kPassphrase = "correct horse battery";
// What a user would search the disk for: a password, a name, a paragraph in Chinese.
const QList<QByteArray> kSecrets = {"HunterPass99", "SecretSiteName",
                                    QStringLiteral("网站密码已改成新的").toUtf8(), "Changed4Pass"};

bool AddSite(sqlite3* db) {
    return Sqlite::Exec(db,
                        "INSERT INTO Web (WebName, WebUser1, WebKey1) VALUES ('SecretSiteName', "
                        "'alice', 'HunterPass99');"
                        "INSERT INTO Content (ContentWeb, ContentTxt) VALUES (1, "
                        "'网站密码已改成新的');",
                        nullptr);
}

QStringList FilesUnder(const QString& dir) {
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

} // namespace

class TestCipher : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString path_;

    // An encrypted catalogue with one site, whose key this run has forgotten.
    bool MakeEncrypted() {
        path_ =
            dir_.filePath(QStringLiteral("enc-%1.mdb").arg(QDateTime::currentMSecsSinceEpoch()));
        const Cipher::Secret passphrase = SecretOf(kPassphrase);
        Sqlite::Database db;
        const bool ok =
            Catalogue::CreateEmpty(path_, nullptr, &passphrase) &&
            Catalogue::OpenExisting(path_, Catalogue::Access::ReadWrite, &db, nullptr) &&
            AddSite(db.Get());
        Cipher::ForgetKeys();
        return ok;
    }

private slots:
    void initTestCase() {
        UseCheapKeys();
        QVERIFY(dir_.isValid());
    }

    void catalogueJournalAndBackupsHoldNoPlainText() {
        QVERIFY(MakeEncrypted());
        ScriptedPassphrases passphrases;
        passphrases.answers = {kPassphrase};
        passphrases.Install();
        Sqlite::Database db;
        QVERIFY(Catalogue::OpenExisting(path_, Catalogue::Access::ReadWrite, &db, nullptr));
        // Halfway through a change, the journal holds the pages as they were.
        QVERIFY(Sqlite::Exec(db.Get(), "BEGIN; UPDATE Web SET WebKey1 = 'Changed4Pass'", nullptr));
        const QString journal = path_ + QStringLiteral("-journal");
        QVERIFY(QFileInfo::exists(journal));
        QCOMPARE(PlainTextIn(journal, kSecrets), QStringList());
        QCOMPARE(PlainTextIn(path_, kSecrets), QStringList());
        QVERIFY(Sqlite::Exec(db.Get(), "COMMIT", nullptr));

        Backup::Options options;
        options.onlyIfChanged = false;
        QString name, error;
        QCOMPARE(Backup::Make(path_, options, &name, &error), Backup::Result::Written);
        for (const QString& file : FilesUnder(dir_.path()))
            QCOMPARE(PlainTextIn(file, kSecrets), QStringList());
        // The backup opens with the catalogue's key and holds the change.
        Sqlite::Database backup;
        QVERIFY(Catalogue::OpenExisting(QDir(Backup::FolderOf(path_)).filePath(name),
                                        Catalogue::Access::ReadOnly, &backup, &error));
        Sqlite::Statement key(backup.Get(), "SELECT WebKey1 FROM Web");
        QVERIFY(key.Next());
        QCOMPARE(key.Text(0), QByteArray("Changed4Pass"));
        QCOMPARE(passphrases.asked.size(), 1);
    }

    void aWrongPassphraseChangesNothing() {
        QVERIFY(MakeEncrypted());
        const QByteArray before = Bytes(path_);
        ScriptedPassphrases passphrases;
        passphrases.answers = {"wrong one", "Correct Horse Battery"};
        passphrases.Install();
        Sqlite::Database db;
        QString error;
        QVERIFY(!Catalogue::OpenExisting(path_, Catalogue::Access::ReadWrite, &db, &error));
        QCOMPARE(error, QString::fromLatin1(Cipher::kWrongPassphrase));
        QCOMPARE(passphrases.asked,
                 (QList<Cipher::Ask>{Cipher::Ask::First, Cipher::Ask::Wrong, Cipher::Ask::Wrong}));
        QCOMPARE(Bytes(path_), before);

        passphrases.answers = {"still wrong", kPassphrase};
        QVERIFY(Catalogue::OpenExisting(path_, Catalogue::Access::ReadWrite, &db, &error));
        Sqlite::Statement name(db.Get(), "SELECT WebName FROM Web");
        QVERIFY(name.Next());
        QCOMPARE(name.Text(0), QByteArray("SecretSiteName"));
    }

    // A byte changed on disk: in a page it is damage, never other text; in the salt the
    // key no longer fits.
    void aChangedByteIsDamage() {
        QVERIFY(MakeEncrypted());
        const QByteArray sound = Bytes(path_);
        const int pageSize = 4096;
        QVERIFY(sound.size() >= 3 * pageSize);
        ScriptedPassphrases passphrases;
        passphrases.Install();
        for (qsizetype offset : {qsizetype(pageSize + 700), sound.size() - 2000}) {
            QByteArray damaged = sound;
            damaged[offset] = char(damaged[offset] ^ 0x01);
            QVERIFY(Overwrite(path_, damaged));
            passphrases.answers = {kPassphrase};
            Cipher::ForgetKeys();
            Sqlite::Database db;
            QString error;
            QVERIFY(Catalogue::OpenExisting(path_, Catalogue::Access::ReadOnly, &db, &error) ||
                    error.contains(QStringLiteral("malformed")));
            if (!db)
                continue;
            // What can still be read is what was stored; the rest fails as damage.
            Sqlite::Statement all(db.Get(), "SELECT WebName || WebKey1 || ContentTxt FROM Web, "
                                            "Content");
            while (all.Next())
                QCOMPARE(all.Text(0), "SecretSiteNameHunterPass99" + kSecrets[2]);
            if (all.Failed())
                QCOMPARE(Sqlite::LastCode(db.Get()) & 0xff, SQLITE_CORRUPT);
            Sqlite::Statement check(db.Get(), "PRAGMA quick_check");
            QVERIFY2(!check.Next() || check.Text(0) != "ok", qPrintable(QString::number(offset)));
        }
        QByteArray salted = sound;
        salted[3] = char(salted[3] ^ 0x01);
        QVERIFY(Overwrite(path_, salted));
        passphrases.answers = {kPassphrase};
        Cipher::ForgetKeys();
        Sqlite::Database db;
        QString error;
        QVERIFY(!Catalogue::OpenExisting(path_, Catalogue::Access::ReadOnly, &db, &error));
        QCOMPARE(error, QString::fromLatin1(Cipher::kWrongPassphrase));
    }

    // A catalogue that Debian's SQLite wrote opens without a question and stays byte for
    // byte as it was when only read.
    void plainCataloguesOpenAsBefore() {
        const QString fixture = QFINDTESTDATA("fixtures/plain-3.40.mdb");
        QVERIFY(!fixture.isEmpty());
        const QString path = dir_.filePath(QStringLiteral("plain.mdb"));
        QVERIFY(QFile::copy(fixture, path));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        ScriptedPassphrases passphrases;
        passphrases.Install();
        const QByteArray before = Bytes(path);
        {
            Sqlite::Database db;
            QString error;
            QVERIFY2(Catalogue::OpenExisting(path, Catalogue::Access::ReadWrite, &db, &error),
                     qPrintable(error));
            Sqlite::Statement count(db.Get(), "SELECT count(*) FROM Web");
            QVERIFY(count.Next());
            QCOMPARE(count.Integer(0), 2);
        }
        QCOMPARE(Bytes(path), before);
        QVERIFY(passphrases.asked.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCipher)
#include "tst_cipher.moc"
