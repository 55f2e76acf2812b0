#include "FindText.h"

#include "Matching.h"

#include <QStringList>

#include <string_view>

namespace Find {

namespace {

// Characters kept before and after the match in an excerpt.
constexpr qsizetype kBefore = 12;
constexpr qsizetype kAfter = 30;

QByteArray SelectColumns() {
    QByteArray columns = "WebIndex";
    for (const Box& box : Boxes())
        columns += QByteArray(", ") + box.column;
    return columns;
}

const QByteArray& OneSql() {
    static const QByteArray sql = "SELECT " + SelectColumns() + " FROM Web WHERE WebIndex = ?";
    return sql;
}

const QByteArray& AfterSql() {
    // Only sites the list can show: WebIndex above 0.
    static const QByteArray sql = "SELECT " + SelectColumns() +
                                  " FROM Web WHERE WebIndex > max(?, 0) ORDER BY WebIndex LIMIT ?";
    return sql;
}

std::string_view View(const QByteArray& bytes) {
    return {bytes.constData(), static_cast<size_t>(bytes.size())};
}

Result Describe(const QByteArray& text, qsizetype byteAt, const QByteArray& word) {
    Result result;
    const QString whole = QString::fromUtf8(text);
    const qsizetype at = QString::fromUtf8(text.left(byteAt)).size();
    const qsizetype length = QString::fromUtf8(word).size();
    const qsizetype start = qMax<qsizetype>(0, at - kBefore);
    const qsizetype end = qMin(whole.size(), at + length + kAfter);
    QString excerpt = whole.mid(start, end - start);
    for (QChar& c : excerpt) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QLatin1Char('\t'))
            c = QLatin1Char(' ');
    }
    result.matchAt = at - start;
    if (start > 0) {
        excerpt.prepend(QChar(0x2026));
        ++result.matchAt;
    }
    if (end < whole.size())
        excerpt.append(QChar(0x2026));
    result.excerpt = excerpt;
    result.matchLength = length;
    return result;
}

} // namespace

QList<QByteArray> SplitWords(const QString& text) {
    QList<QByteArray> words;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        words << word.toUtf8();
    return words;
}

const QList<Box>& Boxes() {
    static const QList<Box> boxes{
        {"WebName", "网站名称"},       {"WebUrl", "网站地址"},        {"WebPr", "网站ＰＲ"},
        {"WebUser1", "帐号 1"},        {"WebUser2", "帐号 2"},        {"WebUser3", "帐号 3"},
        {"WebSonName1", "子页面一"},   {"WebSonPage1", "页面地址 1"}, {"WebSonName2", "子页面二"},
        {"WebSonPage2", "页面地址 2"}, {"WebSonName3", "子页面三"},   {"WebSonPage3", "页面地址 3"},
        {"WebSonName4", "子页面四"},   {"WebSonPage4", "页面地址 4"}, {"WebSonName5", "子页面五"},
        {"WebSonPage5", "页面地址 5"}, {"WebSonName6", "子页面六"},   {"WebSonPage6", "页面地址 6"},
        {"WebSonName7", "子页面七"},   {"WebSonPage7", "页面地址 7"}, {"WebSonName8", "子页面八"},
        {"WebSonPage8", "页面地址 8"},
    };
    return boxes;
}

std::optional<Result> Match(const SiteTexts& texts, const QList<QByteArray>& words) {
    if (words.isEmpty())
        return std::nullopt;
    std::optional<Result> first;
    const qsizetype count = texts.boxes.size() + texts.paragraphs.size();
    for (const QByteArray& word : words) {
        qsizetype i = 0;
        std::ptrdiff_t at = -1;
        for (; i < count && at < 0; ++i) {
            const QByteArray& text =
                i < texts.boxes.size() ? texts.boxes[i] : texts.paragraphs[i - texts.boxes.size()];
            at = FindFolded(View(text), View(word));
            if (at >= 0 && !first) {
                first = Describe(text, at, word);
                first->place = i < texts.boxes.size()
                                   ? QString::fromUtf8(Boxes()[i].label)
                                   : QStringLiteral("段落 %1").arg(i - texts.boxes.size() + 1);
            }
        }
        if (at < 0)
            return std::nullopt;
    }
    first->site = texts.site;
    first->name = QString::fromUtf8(texts.boxes.value(0));
    return first;
}

QByteArray IndexBody(const SiteTexts& texts) {
    QByteArray body;
    for (const QByteArray& text : texts.boxes)
        body += text + '\n';
    for (const QByteArray& text : texts.paragraphs)
        body += text + '\n';
    return body;
}

SiteReader::SiteReader(sqlite3* db)
    : db_(db), one_(db, OneSql().constData()), after_(db, AfterSql().constData()),
      paragraphs_(db, "SELECT ContentTxt FROM Content WHERE ContentWeb = ? ORDER BY ContentIndex") {
}

bool SiteReader::ReadRows(Sqlite::Statement& rows, QList<SiteTexts>* sites, QString* error) {
    while (rows.Next()) {
        SiteTexts texts;
        texts.site = rows.Integer(0);
        for (int column = 1; column <= Boxes().size(); ++column)
            texts.boxes << rows.View(column).toByteArray();
        paragraphs_.Reset();
        paragraphs_.BindInteger(1, texts.site);
        while (paragraphs_.Next())
            texts.paragraphs << paragraphs_.View(0).toByteArray();
        if (paragraphs_.Failed())
            break;
        sites->append(std::move(texts));
    }
    const bool failed = rows.Failed() || paragraphs_.Failed();
    rows.Reset();
    if (!failed)
        return true;
    if (error)
        *error = Sqlite::LastError(db_);
    return false;
}

bool SiteReader::ReadAfter(qint64 after, int limit, QList<SiteTexts>* sites, QString* error) {
    if (!after_.IsValid() || !paragraphs_.IsValid()) {
        if (error)
            *error = Sqlite::LastError(db_);
        return false;
    }
    after_.Reset();
    after_.BindInteger(1, after);
    after_.BindInteger(2, limit);
    return ReadRows(after_, sites, error);
}

bool SiteReader::Read(qint64 site, SiteTexts* texts, bool* found, QString* error) {
    if (!one_.IsValid() || !paragraphs_.IsValid()) {
        if (error)
            *error = Sqlite::LastError(db_);
        return false;
    }
    QList<SiteTexts> sites;
    one_.Reset();
    one_.BindInteger(1, site);
    if (!ReadRows(one_, &sites, error))
        return false;
    *found = site > 0 && !sites.isEmpty();
    if (*found)
        *texts = sites.first();
    return true;
}

} // namespace Find
