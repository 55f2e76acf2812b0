// sitemora-key killed at any moment, and every tool on an encrypted catalogue, run as the
// user runs them.
#include "Catalogue.h"
#include "CipherTesting.h"
#include "CopyLock.h"
#include "Sqlite.h"
#include "support/RunProgram.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace {

// What the catalogue holds, as one text: it must come through every change whole.
QByteArray Contents(sqlite3* db) {
    Sqlite::Statement all(db, "SELECT group_concat(WebName || WebKey1, '|') FROM Web");
    Sqlite::Statement paragraphs(db, "SELECT group_concat(ContentTxt, '|') FROM Content");
    if (!all.Next() || !paragraphs.Next())
        return QByteArray();
    return all.Text(0) + '#' + paragraphs.Text(0);
}

bool Fill(sqlite3* db, int sites) {
    Sqlite::Transaction transaction(db);
    if (!transaction.Begin(nullptr))
        return false;
    for (int i = 0; i < sites; ++i) {
        const QByteArray sql = "INSERT INTO Web (WebName, WebKey1) VALUES ('站点" +
                               QByteArray::number(i) + "', 'Pass" + QByteArray::number(i) +
                               "'); INSERT INTO Content (ContentWeb, ContentTxt) VALUES (" +
                               QByteArray::number(i + 1) + ", '" + QByteArray(200, 'x') + "');";
        if (!Sqlite::Exec(db, sql.constData(), nullptr))
            return false;
    }
    return transaction.Commit(nullptr);
}

// The catalogue's contents when `passphrase` (empty: none) opens it; empty when it does not.
QByteArray OpenWith(const QString& path, const QByteArray& passphrase) {
    const bool encrypted = Cipher::ExamineFile(path) == Cipher::Kind::Encrypted;
    if (encrypted == passphrase.isEmpty())
        return QByteArray();
    Cipher::ForgetKeys();
    ScriptedPassphrases passphrases;
    if (!passphrase.isEmpty())
        passphrases.answers = {passphrase};
    passphrases.Install();
    Sqlite::Database db;
    if (!Catalogue::OpenExisting(path, Catalogue::Access::ReadOnly, &db, nullptr))
        return QByteArray();
    Sqlite::Statement check(db.Get(), "PRAGMA quick_check");
    if (!check.Next() || check.Text(0) != "ok")
        return QByteArray();
    return Contents(db.Get());
}

QStringList Leftovers(const QString& dir) {
    return QDir(dir).entryList({QStringLiteral(".Sitemora.mdb.*")},
                               QDir::Files | QDir::Hidden | QDir::System);
}

} // namespace

class TestKeyTool : public QObject {
    Q_OBJECT

    // The passphrase lines a run reads on its standard input, in a file of `dir`.
    static QString Input(const QString& dir, const QByteArray& lines) {
        const QString input = QDir(dir).filePath(QStringLiteral("input"));
        QFile file(input);
        return file.open(QIODevice::WriteOnly) && file.write(lines) == lines.size() ? input
                                                                                    : QString();
    }

    // Starts `tool` with the passphrase lines on its standard input.
    QProcess* Start(const QString& tool, const QString& dir, const QStringList& args,
                    const QByteArray& lines) {
        const QString input = Input(dir, lines);
        if (input.isEmpty())
            return nullptr;
        auto* process = new QProcess(this);
        process->setWorkingDirectory(dir);
        process->setStandardInputFile(input);
        process->start(tool, args);
        return process;
    }

    // Runs `tool` to its end with the passphrase lines on its standard input.
    static Outcome Run(const QString& tool, const QString& dir, const QStringList& args,
                       const QByteArray& lines) {
        const QString input = Input(dir, lines);
        if (input.isEmpty())
            return {};
        return RunProgram(tool, dir, args,
                          [&](QProcess& process) { process.setStandardInputFile(input); });
    }

private slots:
    // Each kill leaves the old file under the old passphrase or the new one under the new,
    // whole; the next run clears what the killed one left.
    void killedAtAnyMomentLeavesOldOrNew() {
        UseCheapKeys();
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("Sitemora.mdb"));
        QVERIFY(Catalogue::CreateEmpty(path, nullptr));
        QByteArray contents;
        {
            Sqlite::Database db;
            QVERIFY(Catalogue::OpenExisting(path, Catalogue::Access::ReadWrite, &db, nullptr));
            QVERIFY(Fill(db.Get(), 300));
            contents = Contents(db.Get());
        }
        // How long a whole run takes here (a sanitizer build is several times slower): the
        // kills are spread over that, and a little beyond.
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(
            Run(QStringLiteral(CHEAP_KEY_TOOL), dir.path(),
                {QStringLiteral("--passphrase-fd"), QStringLiteral("0"), QStringLiteral("encrypt")},
                "pass phrase 0\n")
                .code,
            0);
        QCOMPARE(
            Run(QStringLiteral(CHEAP_KEY_TOOL), dir.path(),
                {QStringLiteral("--passphrase-fd"), QStringLiteral("0"), QStringLiteral("decrypt")},
                "pass phrase 0\n")
                .code,
            0);
        const auto window = static_cast<quint32>(clock.nsecsElapsed() / 1000 / 2 * 6 / 5);
        QByteArray current; // the passphrase that opens it now; empty: plain
        int generation = 0, kept = 0, changed = 0;
        QRandomGenerator random(20261209);
        const int kills = 200;
        for (int i = 0; i < kills; ++i) {
            const QByteArray next = "pass phrase " + QByteArray::number(++generation);
            QStringList args{QStringLiteral("--passphrase-fd"), QStringLiteral("0"),
                             QStringLiteral("--old-backups"), QStringLiteral("keep")};
            QByteArray lines;
            if (current.isEmpty()) {
                args << QStringLiteral("encrypt");
                lines = next + '\n';
            } else if (i % 3 == 2) {
                args << QStringLiteral("decrypt");
                lines = current + '\n';
            } else {
                args << QStringLiteral("change");
                lines = current + '\n' + next + '\n';
            }
            const QByteArray after = args.last() == QLatin1String("decrypt") ? QByteArray() : next;
            QProcess* tool = Start(QStringLiteral(CHEAP_KEY_TOOL), dir.path(), args, lines);
            QVERIFY(tool && tool->waitForStarted());
            // The moment of the kill is what is tested: anywhere in a run.
            std::this_thread::sleep_for(std::chrono::microseconds(random.bounded(window)));
            tool->kill();
            QVERIFY(tool->waitForFinished());
            delete tool;
            const QByteArray asBefore = OpenWith(path, current);
            const QByteArray asAfter = asBefore.isEmpty() ? OpenWith(path, after) : QByteArray();
            QVERIFY2(asBefore == contents || asAfter == contents,
                     qPrintable(QStringLiteral("kill %1 (%2) left the catalogue unreadable")
                                    .arg(i)
                                    .arg(args.last())));
            if (asBefore == contents) {
                ++kept;
            } else {
                ++changed;
                current = after;
            }
        }
        QVERIFY2(kept > 10 && changed > 10,
                 qPrintable(QStringLiteral("%1 kept, %2 changed").arg(kept).arg(changed)));
        // A whole run clears what the killed ones left.
        const QByteArray lines = current.isEmpty() ? "last one\n" : current + "\nlast one\n";
        const Outcome last =
            Run(QStringLiteral(CHEAP_KEY_TOOL), dir.path(),
                {QStringLiteral("--passphrase-fd"), QStringLiteral("0"),
                 current.isEmpty() ? QStringLiteral("encrypt") : QStringLiteral("change")},
                lines);
        QCOMPARE(last.code, 0);
        QCOMPARE(Leftovers(dir.path()).join(QLatin1Char(' ')), QString());
        QCOMPARE(OpenWith(path, "last one"), contents);
    }

    // A running copy of the program marks itself from its start: the tool must not replace
    // the file under it.
    void refusesWhileTheProgramRuns() {
        UseCheapKeys();
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Sitemora.mdb"));
        QVERIFY(Catalogue::CreateEmpty(path, nullptr));
        const QByteArray before = Bytes(path);
        CopyLock running;
        QVERIFY(running.Acquire(CopyLock::PathFor(path)) > 0);
        const Outcome refused =
            Run(QStringLiteral(CHEAP_KEY_TOOL), dir.path(),
                {QStringLiteral("--passphrase-fd"), QStringLiteral("0"), QStringLiteral("encrypt")},
                "some passphrase\n");
        QCOMPARE(refused.code, 1);
        QVERIFY2(refused.err.contains(QStringLiteral("running")), qPrintable(refused.err));
        QCOMPARE(Bytes(path), before);
    }

    // The real tools, with the real derivation, on one encrypted catalogue.
    void everyToolOnAnEncryptedCatalogue() {
        Cipher::SetCostForTesting(Cipher::kCatalogueCost);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("Sitemora.mdb"));
        const QStringList fd{QStringLiteral("--passphrase-fd"), QStringLiteral("0")};
        Outcome made = Run(QStringLiteral(SITEMORA_NEWDB_TOOL), dir.path(),
                           fd + QStringList{QStringLiteral("--encrypt")}, "first secret\n");
        QCOMPARE(made.code, 0);
        QCOMPARE(Cipher::ExamineFile(path), Cipher::Kind::Encrypted);
        {
            ScriptedPassphrases passphrases;
            passphrases.answers = {"first secret"};
            passphrases.Install();
            Sqlite::Database db;
            QVERIFY(Catalogue::OpenExisting(path, Catalogue::Access::ReadWrite, &db, nullptr));
            QVERIFY(Fill(db.Get(), 3));
        }
        const QByteArray sound = Bytes(path);

        const Outcome wrong =
            Run(QStringLiteral(SITEMORA_EXPORT_TOOL), dir.path(),
                fd + QStringList{QStringLiteral("--format"), QStringLiteral("json"),
                                 QStringLiteral("out.json")},
                "not it\n");
        QCOMPARE(wrong.code, 1);
        QVERIFY2(wrong.err.contains(QStringLiteral("wrong passphrase")), qPrintable(wrong.err));
        QCOMPARE(Bytes(path), sound);

        const Outcome exported =
            Run(QStringLiteral(SITEMORA_EXPORT_TOOL), dir.path(),
                fd + QStringList{QStringLiteral("--format"), QStringLiteral("json"),
                                 QStringLiteral("out.json")},
                "first secret\n");
        QCOMPARE(exported.code, 0);
        QVERIFY(exported.err.contains(QStringLiteral("NOT encrypted")));
        QVERIFY(Bytes(dir.filePath(QStringLiteral("out.json"))).contains("Pass2"));

        const Outcome merged =
            Run(QStringLiteral(SITEMORA_IMPORT_TOOL), dir.path(),
                fd + QStringList{QStringLiteral("--merge"), QStringLiteral("out.json")},
                "first secret\n");
        QCOMPARE(merged.code, 0);

        const Outcome backedUp = Run(QStringLiteral(SITEMORA_BACKUP_TOOL), dir.path(),
                                     fd + QStringList{QStringLiteral("now")}, "first secret\n");
        QCOMPARE(backedUp.code, 0);
        const QString folder = dir.filePath(QStringLiteral("Sitemora.mdb.backups"));
        const QString backup = QDir(folder).entryList({QStringLiteral("*.mdb")}).value(0);
        QVERIFY(!backup.isEmpty());
        QCOMPARE(PlainTextIn(QDir(folder).filePath(backup), {"Pass2", "站点"}), QStringList());

        const Outcome changed =
            Run(QStringLiteral(SITEMORA_KEY_TOOL), dir.path(),
                fd + QStringList{QStringLiteral("change")}, "first secret\nsecond secret\n");
        QCOMPARE(changed.code, 0);
        QCOMPARE(OpenWith(path, "first secret"), QByteArray());
        const QByteArray merged6 = OpenWith(path, "second secret");
        QVERIFY(merged6.contains("Pass2"));

        // The backup comes back as it was made: under the first passphrase. Its passphrase is
        // asked first, then the catalogue's, which is backed up as it is before.
        const Outcome restored = Run(QStringLiteral(SITEMORA_BACKUP_TOOL), dir.path(),
                                     fd + QStringList{QStringLiteral("restore"), backup},
                                     "first secret\nsecond secret\n");
        QCOMPARE(restored.code, 0);
        QVERIFY2(restored.out.contains(QStringLiteral("passphrase it was made with")),
                 qPrintable(restored.out));
        QVERIFY(!OpenWith(path, "first secret").isEmpty());

        // A damaged page is reported as damage, never exported as other text.
        QByteArray damaged = Bytes(path);
        for (qsizetype page = 4096; page < damaged.size(); page += 4096)
            damaged[page + 500] = char(damaged[page + 500] ^ 0x40);
        QVERIFY(Overwrite(path, damaged));
        const Outcome broken =
            Run(QStringLiteral(SITEMORA_EXPORT_TOOL), dir.path(),
                fd + QStringList{QStringLiteral("--format"), QStringLiteral("csv"),
                                 QStringLiteral("out.csv")},
                "first secret\n");
        QCOMPARE(broken.code, 1);
        QVERIFY2(broken.err.contains(QStringLiteral("malformed")), qPrintable(broken.err));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("out.csv"))));
    }
};

QTEST_GUILESS_MAIN(TestKeyTool)
#include "tst_key_tool.moc"
