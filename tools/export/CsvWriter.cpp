#include "Catalogue.h"
#include "OutputFile.h"
#include "Sqlite.h"
#include "Transfer.h"
#include "Writers.h"

#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace Export {

namespace {

// A spreadsheet runs a cell that starts with one of these as a formula (a tab or CR can
// hide the sign in front of one); a leading apostrophe makes it plain text.
bool LooksLikeFormula(QByteArrayView text) {
    return !text.isEmpty() && QByteArrayView("=+-@\t\r").contains(text.front());
}

void AppendCell(QByteArray& line, QByteArrayView text) {
    line += ",\"";
    if (LooksLikeFormula(text))
        line += '\'';
    // A spreadsheet would show broken bytes as it likes; make them visible replacement
    // characters instead.
    const QByteArray repaired =
        text.isValidUtf8() ? QByteArray() : QString::fromUtf8(text).toUtf8();
    const QByteArrayView valid = repaired.isNull() ? text : QByteArrayView(repaired);
    // Quotes are doubled; everything between them is copied in one piece.
    qsizetype from = 0;
    for (qsizetype quote = valid.indexOf('"'); quote >= 0; quote = valid.indexOf('"', from)) {
        line += valid.sliced(from, quote + 1 - from);
        line += '"';
        from = quote + 1;
    }
    line += valid.sliced(from);
    line += '"';
}

// The paragraphs of all sites, to be taken in site order. A site's paragraphs lie
// scattered over the file, and sorting their texts (SQLite's sorter spills them to disk)
// or fetching them in the index's order (a random read per paragraph) costs several times
// one pass in file order. So one pass deals the texts out to scratch files, one per range
// of sites, keeping only each text's place in memory; then each range in turn is read
// back whole and its places sorted. Only one range's texts are in memory at a time.
class ParagraphsBySite {
public:
    ~ParagraphsBySite() {
        for (Range& range : ranges_)
            if (range.scratch)
                std::fclose(range.scratch);
    }

    // Sites run from `first` to `last`, any keys at all: a catalogue another program made
    // may hold negative ones, or keys far apart.
    bool Read(sqlite3* db, qint64 first, qint64 last, QString* error) {
        if (last < first)
            return true;
        first_ = first;
        // Differences of keys are taken unsigned: they reach 2^64 - 1.
        const quint64 span = quint64(last) - quint64(first);
        const quint64 ranges = span < quint64(kRanges) ? span + 1 : quint64(kRanges);
        ranges_.resize(size_t(ranges));
        width_ = span / ranges + 1;
        // Orphans (0) belong to no site.
        Sqlite::Statement paragraphs(
            db, "SELECT ContentWeb, ContentIndex, ContentTxt FROM Content WHERE +ContentWeb <> 0");
        while (paragraphs.Next()) {
            const qint64 site = paragraphs.Integer(0);
            if (site < first || site > last)
                continue;
            Range& range = ranges_[RangeOf(site)];
            if (!range.scratch && !(range.scratch = std::tmpfile()))
                return Failed(QStringLiteral("cannot make a scratch file"), error);
            const QByteArrayView text = paragraphs.View(2);
            range.places.push_back({site, paragraphs.Integer(1), range.bytes, text.size()});
            if (!text.isEmpty() && std::fwrite(text.data(), 1, size_t(text.size()),
                                               range.scratch) != size_t(text.size()))
                return Failed(QStringLiteral("cannot write a scratch file"), error);
            range.bytes += text.size();
        }
        if (paragraphs.Failed()) {
            *error = Sqlite::LastError(db);
            return false;
        }
        return true;
    }

    // Appends the paragraphs of `site`, joined by a blank line, to `joined`; sites come in
    // ascending order. Returns how many, or -1 after a failure.
    qint64 Join(qint64 site, QByteArray* joined, QString* error) {
        if (site < first_ || ranges_.empty())
            return 0;
        const size_t range = RangeOf(site);
        if (range != loaded_ && !Load(range, error))
            return -1;
        const std::vector<Place>& places = ranges_[range].places;
        qint64 count = 0;
        // Paragraphs of sites that no longer exist sort before the next site and are passed.
        for (; next_ < places.size() && places[next_].site <= site; ++next_) {
            const Place& place = places[next_];
            if (place.site < site)
                continue;
            if (count++ > 0)
                joined->append("\n\n");
            joined->append(texts_.constData() + place.offset, place.length);
        }
        return count;
    }

private:
    // Enough ranges that one range's texts stay small beside the rest, few enough to keep
    // the scratch files open at once.
    static constexpr qint64 kRanges = 64;

    struct Place {
        qint64 site;
        qint64 index;
        qint64 offset;
        qsizetype length;
    };
    struct Range {
        std::FILE* scratch = nullptr;
        qint64 bytes = 0;
        std::vector<Place> places;
    };

    // Ranges of width_ keys each; the last may be narrower.
    size_t RangeOf(qint64 site) const { return size_t((quint64(site) - quint64(first_)) / width_); }

    bool Load(size_t index, QString* error) {
        if (loaded_ < ranges_.size())
            ranges_[loaded_].places = {};
        loaded_ = index;
        next_ = 0;
        Range& range = ranges_[index];
        texts_.resize(range.bytes);
        if (range.bytes > 0 &&
            (std::fflush(range.scratch) != 0 || std::fseek(range.scratch, 0, SEEK_SET) != 0 ||
             std::fread(texts_.data(), 1, size_t(range.bytes), range.scratch) !=
                 size_t(range.bytes)))
            return Failed(QStringLiteral("cannot read a scratch file back"), error);
        std::sort(range.places.begin(), range.places.end(), [](const Place& a, const Place& b) {
            return a.site != b.site ? a.site < b.site : a.index < b.index;
        });
        return true;
    }

    static bool Failed(const QString& what, QString* error) {
        *error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }

    qint64 first_ = 0;
    quint64 width_ = 1;
    std::vector<Range> ranges_;
    size_t loaded_ = size_t(-1);
    size_t next_ = 0;
    QByteArray texts_;
};

} // namespace

bool WriteCsv(sqlite3* db, OutputFile& out, Counts* counts, QString* error) {
    // The byte order mark is how spreadsheet programs tell UTF-8 from the local code page.
    QByteArray line = "\xEF\xBB\xBF"
                      "WebIndex";
    QByteArray webSql = "SELECT WebIndex";
    for (const QString& column : Catalogue::WebTextColumns()) {
        line += ',' + column.toLatin1();
        webSql += ", " + column.toLatin1();
    }
    line += ",ContentTxt\r\n";
    webSql += " FROM Web ORDER BY WebIndex";
    const int textColumns = int(Catalogue::WebTextColumns().size());

    qint64 first = 0;
    qint64 last = -1;
    Sqlite::Statement bounds(db, "SELECT min(WebIndex), max(WebIndex) FROM Web");
    if (bounds.Next() && !bounds.IsNull(0)) {
        first = bounds.Integer(0);
        last = bounds.Integer(1);
    }
    ParagraphsBySite paragraphs;
    if (bounds.Failed() || !paragraphs.Read(db, first, last, error)) {
        if (bounds.Failed())
            *error = Sqlite::LastError(db);
        return false;
    }
    Sqlite::Statement sites(db, webSql.constData());
    QByteArray joined;
    while (sites.Next()) {
        const qint64 site = sites.Integer(0);
        line += QByteArray::number(site);
        for (int c = 1; c <= textColumns; ++c)
            AppendCell(line, sites.View(c));
        joined.clear();
        const qint64 ofSite = paragraphs.Join(site, &joined, error);
        if (ofSite < 0)
            return false;
        counts->paragraphs += ofSite;
        AppendCell(line, joined);
        line += "\r\n";
        if (!out.Write(line)) {
            *error = out.WriteError();
            return false;
        }
        line.clear();
        ++counts->sites;
    }
    if (sites.Failed()) {
        *error = Sqlite::LastError(db);
        return false;
    }
    // The header alone when there are no sites.
    if (!out.Write(line)) {
        *error = out.WriteError();
        return false;
    }
    return true;
}

} // namespace Export
