// Runs sitemora-import on copies of the plain fixture damaged the way a disk or a crash
// damages a file, and expects each to be refused rather than brought over wrong.
#include "ImportHarness.h"

#include <sys/resource.h>

namespace {

constexpr qsizetype kPage = 4096;

quint32 Get(const QByteArray& data, qsizetype at, int size) {
    quint32 value = 0;
    for (int i = size; i-- > 0;)
        value = value << 8 | quint8(data.at(at + i));
    return value;
}

void Put(QByteArray* data, qsizetype at, quint32 value, int size) {
    for (int i = 0; i < size; ++i)
        (*data)[at + i] = char(value >> (8 * i) & 0xff);
}

// The plain fixture, and the places in it found the way a reader finds them.
struct Fixture {
    QByteArray data = ReadFile(FixturePath(QStringLiteral("catalog-jet4.mdb")));

    // The descriptor of a column in its table's definition: descriptors follow the
    // index entries, in the order of the names that follow them.
    qsizetype Descriptor(const char* column) const {
        const qsizetype name = data.indexOf(Utf16(column));
        const qsizetype page = name / kPage * kPage;
        const int columns = int(Get(data, page + 45, 2));
        const qsizetype first = page + 63 + 12 * qsizetype(Get(data, page + 51, 4));
        qsizetype at = first + 25 * qsizetype(columns);
        for (int c = 0; c < columns; at += 2 + qsizetype(Get(data, at, 2)), ++c) {
            if (at + 2 == name)
                return first + 25 * qsizetype(c);
        }
        return -1;
    }
    // The first byte of the paragraph row with these keys, on a data page of Content.
    qsizetype Paragraph(qint32 index, qint32 web) const {
        const quint32 definition = quint32(Descriptor("ContentTxt") / kPage);
        for (qsizetype page = 0; page < data.size(); page += kPage) {
            if (data.at(page) == 0x01 && Get(data, page + 4, 4) == definition) {
                const qsizetype at = data.indexOf(Int32(index) + Int32(web), page);
                return at >= 0 && at < page + kPage ? at - 2 : -1;
            }
        }
        return -1;
    }
    // One past the last byte of the row starting at `row`, from its page's row table.
    qsizetype RowEnd(qsizetype row) const {
        const qsizetype page = row / kPage * kPage;
        for (int r = 0; r < int(Get(data, page + 12, 2)); ++r) {
            if (page + (Get(data, page + 14 + 2 * qsizetype(r), 2) & 0x1fff) == row)
                return r == 0 ? page + kPage
                              : page + (Get(data, page + 12 + 2 * qsizetype(r), 2) & 0x1fff);
        }
        return -1;
    }
    // The first byte of the long text of a paragraph row: its 12-byte header.
    qsizetype LongText(qint32 index, qint32 web) const { return Paragraph(index, web) + 10; }
    // Where the first page of a long text stored on other pages begins its part.
    qsizetype FirstPart(qsizetype header) const {
        const qsizetype page = qsizetype(Get(data, header + 4, 4) >> 8) * kPage;
        return page + (Get(data, page + 14, 2) & 0x1fff);
    }
};

// Paragraph 11 of site 5 holds 12,000 characters on pages 37 to 42; paragraph 1 of site
// 1 holds 19 inline.
constexpr qint32 kLong[] = {11, 5};
constexpr qint32 kShort[] = {1, 1};

void RefusesFetched() {
    QFETCH(QByteArray, data);
    QFETCH(QString, message);
    QVERIFY2(data != Fixture().data, "the fixture no longer has the bytes this case changes");
    ExpectRefused(data, message);
}

} // namespace

class ImportDamageTest : public QObject {
    Q_OBJECT

private slots:
    // Without the fixture every offset below would point past an empty file.
    void initTestCase() {
        QVERIFY2(QFile::exists(FixturePath(QStringLiteral("catalog-jet4.mdb"))),
                 "SITEMORA_FIXTURES does not lead to the legacy fixtures");
    }

    void refusesTruncatedFiles_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("message");
        const Fixture f;
        // The last page of paragraph 11 starts exactly at the new end of the file.
        QTest::newRow("first 42 of 45 pages")
            << f.data.left(42 * kPage)
            << "Content table (ContentIndex 11), column ContentTxt: its long text cannot be "
               "read: page 42 lies past the end of the file (42 pages); the file is truncated";
    }
    void refusesTruncatedFiles() { RefusesFetched(); }

    void importsWithoutTrailingPagesNoRowUses() {
        // The last two pages hold only the long text of a deleted paragraph.
        QTemporaryDir dir;
        QVERIFY(
            WriteFile(dir.filePath(QStringLiteral("old.mdb")), Fixture().data.left(43 * kPage)));
        const Outcome run =
            RunTool(dir.path(), {QStringLiteral("old.mdb"), QStringLiteral("new.mdb")});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        CompareCatalogue(dir.filePath(QStringLiteral("new.mdb")), Expected());
    }

    void refusesDamagedDefinitions_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("message");
        const Fixture f;
        const QString where = QStringLiteral("in the definition of the Content table: ");
        QByteArray d = f.data;
        Put(&d, f.Descriptor("ContentTxt") / kPage * kPage + 43, 0, 2);
        QTest::newRow("no variable-length columns counted")
            << d
            << where + "column ContentTxt is variable-length value 0 of each row, but the "
                       "table counts 0 such values";
        d = f.data;
        Put(&d, f.Descriptor("ContentTxt") + 5, 0xffff, 2);
        QTest::newRow("column number out of range") << d << where + "column ContentTxt has number";
        d = f.data;
        Put(&d, f.Descriptor("ContentWeb") + 21, 0, 2);
        QTest::newRow("fixed columns overlapping")
            << d << where + "columns ContentIndex and ContentWeb overlap";
        d = f.data;
        Put(&d, f.Descriptor("WebUrl") + 7, 0, 2);
        QTest::newRow("two columns in one variable-length slot")
            << d << "in the definition of the Web table: columns WebName and WebUrl share";
    }
    void refusesDamagedDefinitions() { RefusesFetched(); }

    void refusesRowsContradictingTheirNullMask_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("message");
        const Fixture f;
        const qsizetype row = f.Paragraph(kShort[0], kShort[1]);
        const QString where =
            QStringLiteral("in row 1 of the Content table (ContentIndex 1), column ");
        QByteArray d = f.data;
        d[f.RowEnd(row) - 1] = 0x03;
        QTest::newRow("text marked as missing")
            << d << where + "ContentTxt: it holds 50 bytes but is marked as having no value";
        d = f.data;
        Put(&d, row, 2, 2);
        QTest::newRow("fewer columns than marked")
            << d << where + "ContentWeb: it is marked as having a value, but the row holds none";
    }
    void refusesRowsContradictingTheirNullMask() { RefusesFetched(); }

    void refusesLongTextsOfTheWrongLength_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("message");
        const Fixture f;
        const QString longText =
            QStringLiteral("Content table (ContentIndex 11), column ContentTxt: its long text ");
        const QString shortText =
            QStringLiteral("Content table (ContentIndex 1), column ContentTxt: its long text ");
        const qsizetype chain = f.LongText(kLong[0], kLong[1]);
        const qsizetype inlined = f.LongText(kShort[0], kShort[1]);
        QByteArray d = f.data;
        Put(&d, chain, 23000, 4);
        QTest::newRow("stated length below the pages")
            << d << longText + "cannot be read: it states 23000 bytes but its pages hold more";
        d = f.data;
        Put(&d, chain, 24002, 4);
        QTest::newRow("stated length above the pages")
            << d
            << longText + "cannot be read: it states 24002 bytes but its pages end after 24000";
        d = f.data;
        Put(&d, inlined, 0x80000000 | 36, 4);
        QTest::newRow("inline length below its field")
            << d << shortText + "cannot be read: it states 36 bytes but the row holds 38";
        // One byte shorter in both the header and the row's table of values.
        d = f.data;
        Put(&d, inlined, 0x80000000 | 37, 4);
        const qsizetype end = f.RowEnd(f.Paragraph(kShort[0], kShort[1])) - 7;
        Put(&d, end, Get(d, end, 2) - 1, 2);
        QTest::newRow("odd number of UTF-16 bytes")
            << d << shortText + "has an odd number of bytes (37)";
    }
    void refusesLongTextsOfTheWrongLength() { RefusesFetched(); }

    void refusesBrokenPageChains_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("message");
        const Fixture f;
        const qsizetype header = f.LongText(kLong[0], kLong[1]);
        QByteArray d = f.data;
        Put(&d, f.FirstPart(header), Get(d, header + 4, 4), 4);
        QTest::newRow("page pointing at itself")
            << d
            << "column ContentTxt: its long text cannot be read: its pages run in a loop "
               "back to page 37";
    }
    void refusesBrokenPageChains() { RefusesFetched(); }

    void refusesAHugeStatedLengthBeforeAllocating() {
        // A loop that never ends and a length of a gigabyte: the import must neither grow
        // nor crash. With the process's data limited to 64 MiB, asking for the stated
        // length would end it with an allocation failure.
        Fixture f;
        const qsizetype header = f.LongText(kLong[0], kLong[1]);
        Put(&f.data, f.FirstPart(header), Get(f.data, header + 4, 4), 4);
        Put(&f.data, header, 0x3ffffffe, 4);
        QTemporaryDir dir;
        QVERIFY(WriteFile(dir.filePath(QStringLiteral("old.mdb")), f.data));
        const Outcome run = RunTool(
            dir.path(), {QStringLiteral("old.mdb"), QStringLiteral("new.mdb")}, [](QProcess& p) {
#ifndef __SANITIZE_ADDRESS__ // the sanitizer's shadow memory counts as data
                p.setChildProcessModifier([] {
                    const rlimit limit{64 << 20, 64 << 20};
                    setrlimit(RLIMIT_DATA, &limit);
                });
#else
                Q_UNUSED(p);
#endif
            });
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains(QStringLiteral("its long text cannot be read: it states "
                                                 "1073741822 bytes, more than the whole file "
                                                 "holds (184320)")),
                 qPrintable(run.err));
        QCOMPARE(Listing(dir.path()), QStringList{"old.mdb"});
    }

    void refusesDamagedKeys_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("message");
        const Fixture f;
        QByteArray d = f.data;
        Put(&d, f.Paragraph(4, 2) + 2, 3, 4);
        QTest::newRow("key repeated")
            << d
            << "damaged in row 3 of the Content table (ContentIndex 3): an earlier row has "
               "the same ContentIndex";
        d = f.data;
        Put(&d, f.Paragraph(3, 1) + 2, quint32(-3), 4);
        QTest::newRow("key below 1")
            << d
            << "damaged in row 2 of the Content table (ContentIndex -3): a ContentIndex "
               "must be above 0";
    }
    void refusesDamagedKeys() {
        RefusesFetched();
    }

    void keepsAKeyAboveTheCounterWithANote() {
        // One changed byte turns ContentIndex 1 into 385,875,969, above the 2001 the
        // table's counter reached; a program may also have set it on purpose.
        Fixture f;
        Put(&f.data, f.Paragraph(kShort[0], kShort[1]) + 5, 0x17, 1);
        QTemporaryDir dir;
        QVERIFY(WriteFile(dir.filePath(QStringLiteral("old.mdb")), f.data));
        const Outcome run =
            RunTool(dir.path(), {QStringLiteral("old.mdb"), QStringLiteral("new.mdb")});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QVERIFY2(run.err.contains(QStringLiteral("note: 1 paragraph has a ContentIndex above "
                                                 "2001")) &&
                     run.err.contains(QStringLiteral("(ContentIndex 385875969)")),
                 qPrintable(run.err));
        sqlite3* db = nullptr;
        QCOMPARE(
            sqlite3_open_v2(QFile::encodeName(dir.filePath(QStringLiteral("new.mdb"))).constData(),
                            &db, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
        const qint64 kept = Scalar(db, "SELECT count(*) FROM Content WHERE ContentIndex = "
                                       "385875969 AND ContentWeb = 1");
        sqlite3_close(db);
        QCOMPARE(kept, qint64(1));
    }
};

QTEST_GUILESS_MAIN(ImportDamageTest)
#include "tst_import_damage.moc"
