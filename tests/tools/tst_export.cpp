// Runs sitemora-export on catalogues with every kind of text and reads what it wrote the
// way other programs would.
#include "TransferTesting.h"

#include <QtTest>

#include <limits>

#include <sys/stat.h>

using namespace TransferTesting;

namespace {

Outcome Export(const TempCatalogue& catalogue, const QStringList& args) {
    return RunProgram(QStringLiteral(SITEMORA_EXPORT_TOOL), catalogue.Dir(), args);
}

// RFC 4180 as a spreadsheet reads it, written apart from the exporter's code.
QList<QStringList> ParseCsv(QByteArray data) {
    if (data.startsWith("\xEF\xBB\xBF"))
        data.remove(0, 3);
    const QString text = QString::fromUtf8(data);
    QList<QStringList> records{{}};
    QString cell;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == u'"' && i + 1 < text.size() && text[i + 1] == u'"')
                cell += text[++i];
            else if (c == u'"')
                quoted = false;
            else
                cell += c;
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            records.last() << cell;
            cell.clear();
        } else if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            records.last() << cell;
            cell.clear();
            records.append(QStringList());
            ++i;
        } else {
            cell += c;
        }
    }
    if (!records.last().isEmpty() || !cell.isEmpty())
        records.last() << cell;
    else
        records.removeLast();
    return records;
}

} // namespace

class ExportTest : public QObject {
    Q_OBJECT

private slots:
    void csvCellsComeBackAsStoredWithFormulasGuarded() {
        TempCatalogue catalogue;
        QVERIFY(FillRich(catalogue));
        const Outcome outcome = Export(catalogue, {"--format", "csv", "out.csv"});
        QCOMPARE(outcome.code, 0);
        QVERIFY(outcome.err.contains(QStringLiteral("passwords")));
        const QList<QStringList> records = ParseCsv(ReadAll(catalogue.FilePath("out.csv")));
        QCOMPARE(records.size(), 4);
        QCOMPARE(records[0].first(), QStringLiteral("WebIndex"));
        QCOMPARE(records[0].last(), QStringLiteral("ContentTxt"));
        const QStringList& columns = Catalogue::WebTextColumns();
        for (int row = 1; row <= 3; ++row) {
            const QStringList& cells = records[row];
            QCOMPARE(cells.size(), columns.size() + 2);
            QCOMPARE(cells[0], QString::number(row));
            for (int c = 0; c < columns.size(); ++c) {
                const QString stored = catalogue.ScalarText(
                    QStringLiteral("SELECT %1 FROM Web WHERE WebIndex = ?").arg(columns[c]), {row});
                const bool formula =
                    !stored.isEmpty() && QStringLiteral("=+-@\t\r").contains(stored[0]);
                QCOMPARE(cells[c + 1], formula ? QLatin1Char('\'') + stored : stored);
            }
        }
        QCOMPARE(records[1].last(),
                 QStringLiteral("line1\r\nline2\n\nlone\rCR 😀👍🏽\n\nctl \x01 nul ") +
                     QChar(0) + QStringLiteral("\\ end\n\n"));
        QCOMPARE(records[2].last(), QString());
        QCOMPARE(records[3].last(), QStringLiteral("\n\n") + QString(1 << 20, QLatin1Char('x')));
    }

    void bookmarkFileHoldsAddressesOnly() {
        TempCatalogue catalogue;
        QVERIFY(FillRich(catalogue));
        const Outcome outcome = Export(catalogue, {"--format", "bookmarks", "out.html"});
        QCOMPARE(outcome.code, 0);
        QVERIFY(!outcome.err.contains(QStringLiteral("passwords")));
        QVERIFY(outcome.out.contains(QStringLiteral("left out 1 address")));
        const QByteArray html = ReadAll(catalogue.FilePath("out.html"));
        QVERIFY(html.startsWith("<!DOCTYPE NETSCAPE-Bookmark-file-1>"));
        QVERIFY(html.contains("<H3>网站 &quot;一&quot; &amp; &lt;b&gt;</H3>"));
        QVERIFY(html.contains("HREF=\"http://sub.example.com/path?a=1&amp;b=2\""));
        QVERIFY(!html.contains("javascript"));
        QVERIFY(!html.contains("WebKey1"));
        QVERIFY(!html.contains("line1"));
    }

    void neverReplacesWithoutBeingAskedNorTouchesTheCatalogue() {
        TempCatalogue catalogue;
        QVERIFY(FillRich(catalogue));
        const QByteArray before = ReadAll(catalogue.Path());
        QVERIFY(WriteAll(catalogue.FilePath("out.json"), "keep me"));
        Outcome outcome = Export(catalogue, {"--format", "json", "out.json"});
        QCOMPARE(outcome.code, 1);
        QVERIFY(outcome.err.contains(QStringLiteral("out.json already exists")));
        QCOMPARE(ReadAll(catalogue.FilePath("out.json")), QByteArray("keep me"));

        outcome = Export(catalogue, {"--format", "json", "--force", "out.json"});
        QCOMPARE(outcome.code, 0);
        QVERIFY(ReadAll(catalogue.FilePath("out.json")).startsWith("{\"format\""));
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(catalogue.FilePath("out.json")).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0600));

        outcome = Export(catalogue, {"--format", "json", "--force", "Sitemora.mdb"});
        QCOMPARE(outcome.code, 1);
        QCOMPARE(Export(catalogue, {"--format", "xml", "out.xml"}).code, 2);
        QCOMPARE(Export(catalogue, {"--catalogue", "missing.mdb", "--format", "csv", "o.csv"}).code,
                 1);
        QCOMPARE(ReadAll(catalogue.Path()), before);
        QStringList files = QDir(catalogue.Dir()).entryList(QDir::Files | QDir::Hidden);
        files.sort(Qt::CaseSensitive);
        QCOMPARE(files, QStringList({"Sitemora.mdb", "out.json"}));
    }

    // Bytes that are not UTF-8 cannot be carried over exactly: the JSON export stops
    // rather than change them; the CSV, a view, shows them as replacement characters.
    void textThatIsNotUtf8StopsOnlyTheExactExport() {
        TempCatalogue catalogue;
        QVERIFY(catalogue.AddSite(QStringLiteral("x")) > 0);
        QVERIFY(
            catalogue.Exec(QStringLiteral("UPDATE Web SET WebUrl = CAST(X'636166e9' AS TEXT)")));
        const Outcome json = Export(catalogue, {"--format", "json", "out.json"});
        QCOMPARE(json.code, 1);
        QVERIFY2(json.err.contains(QStringLiteral("WebIndex 1, column WebUrl")),
                 qPrintable(json.err));
        QVERIFY(!QFile::exists(catalogue.FilePath("out.json")));
        QCOMPARE(Export(catalogue, {"--format", "csv", "out.csv"}).code, 0);
        QCOMPARE(ParseCsv(ReadAll(catalogue.FilePath("out.csv")))[1][2],
                 QStringLiteral("caf\uFFFD"));
    }

    // A catalogue another program made may hold any 64-bit keys: negative ones, and
    // keys further apart than any sum or product of them fits. Each site keeps its own
    // paragraphs, in their order.
    void anyKeysKeepTheirParagraphs() {
        TempCatalogue catalogue;
        // Tables as another program makes them: without the checks that keep ours to 32 bits.
        QVERIFY(catalogue.Exec(QStringLiteral("DROP TABLE Web")));
        QVERIFY(catalogue.Exec(QStringLiteral("DROP TABLE Content")));
        QVERIFY(catalogue.Exec(QStringLiteral("CREATE TABLE Web (WebIndex INTEGER PRIMARY KEY, %1)")
                                   .arg(Catalogue::WebTextColumns().join(QStringLiteral(", ")))));
        QVERIFY(catalogue.Exec(QStringLiteral("CREATE TABLE Content (ContentIndex INTEGER PRIMARY "
                                              "KEY, ContentWeb INTEGER, ContentTxt TEXT)")));
        const QList<qint64> keys{std::numeric_limits<qint64>::min(), -1, 1, (qint64(1) << 58) + 1,
                                 std::numeric_limits<qint64>::max()};
        QStringList expected;
        for (int i = 0; i < keys.size(); ++i) {
            QVERIFY(
                catalogue.Exec(QStringLiteral("INSERT INTO Web (WebIndex, WebName) VALUES (?, ?)"),
                               {keys[i], QString::number(i)}));
            expected << QStringLiteral("first of %1\n\nsecond of %1").arg(i);
        }
        // Stored last site first, so the file order is not the key order.
        for (const char* which : {"first", "second"})
            for (qsizetype i = keys.size() - 1; i >= 0; --i)
                QVERIFY(catalogue.AddParagraph(keys[i],
                                               QStringLiteral("%1 of %2").arg(which).arg(i)) > 0);
        QCOMPARE(Export(catalogue, {"--format", "csv", "out.csv"}).code, 0);
        const QList<QStringList> records = ParseCsv(ReadAll(catalogue.FilePath("out.csv")));
        QCOMPARE(records.size(), keys.size() + 1);
        for (int i = 0; i < keys.size(); ++i) {
            QCOMPARE(records[i + 1].first(), QString::number(keys[i]));
            QCOMPARE(records[i + 1].last(), expected[i]);
        }
    }

    // The program stores a change while the export runs: the export sees the catalogue
    // as it was committed, without waiting for the other copy.
    void readsTheCommittedStateWhileAnotherCopyWrites() {
        TempCatalogue catalogue;
        QVERIFY(catalogue.AddSite(QStringLiteral("committed")) > 0);
        sqlite3* other = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(catalogue.Path()).constData(), &other), SQLITE_OK);
        QCOMPARE(sqlite3_exec(other,
                              "BEGIN IMMEDIATE; INSERT INTO Web (WebName) VALUES ('uncommitted')",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        const Outcome outcome = Export(catalogue, {"--format", "json", "out.json"});
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        QCOMPARE(outcome.code, 0);
        const QByteArray json = ReadAll(catalogue.FilePath("out.json"));
        QVERIFY(json.contains("committed"));
        QVERIFY(!json.contains("uncommitted"));
    }
};

QTEST_GUILESS_MAIN(ExportTest)
#include "tst_export.moc"
