#include "JsonDocument.h"

#include "Catalogue.h"
#include "Sqlite.h"
#include "Transfer.h"

#include <algorithm>
#include <limits>

namespace Merge::Json {

namespace {

// Keys, site numbers and counters live in 32-bit columns: a larger key, or a counter past
// the largest, would leave the catalogue unable to take a new row.
constexpr qint64 kLargest = std::numeric_limits<qint32>::max();

// A member name as the message shows it: characters that do not show (a byte order
// mark, a control character) are written as escapes, so that "\ufeffWebName" is not
// taken for WebName on the screen either.
QString Shown(const QByteArray& name) {
    const QString text = Transfer::FromUtf8(name);
    QString shown;
    for (const char32_t c : text.toUcs4()) {
        if (QChar::isPrint(c) && c != U'"' && c != U'\\')
            shown += QString::fromUcs4(&c, 1);
        else if (c > 0xFFFF)
            shown += QStringLiteral("\\U%1").arg(quint32(c), 8, 16, QLatin1Char('0'));
        else
            shown += QStringLiteral("\\u%1").arg(quint32(c), 4, 16, QLatin1Char('0'));
    }
    return shown;
}

// Walks the whole document once, so a file that is cut short, broken or not UTF-8 is
// refused before anything else is looked at, and notes where each member begins.
bool ScanDocument(JsonReader& reader, Members* members, QString* error) {
    const std::pair<const char*, qsizetype*> known[] = {{"format", &members->format},
                                                        {"version", &members->version},
                                                        {"counters", &members->counters},
                                                        {"Web", &members->web},
                                                        {"Content", &members->content}};
    bool first = true;
    QByteArray name;
    bool ok = reader.BeginObject();
    while (ok && reader.NextMember(&name, &first)) {
        const auto* slot = std::find_if(std::begin(known), std::end(known),
                                        [&](const auto& entry) { return name == entry.first; });
        if (slot == std::end(known)) {
            if (members->unknown.isNull())
                members->unknown = name;
        } else if (*slot->second >= 0) {
            ok = reader.Reject(QStringLiteral("\"%1\" a second time").arg(Shown(name)),
                               reader.Offset());
            break;
        } else {
            *slot->second = reader.Offset();
        }
        ok = reader.SkipValue();
    }
    if (ok && !reader.Failed() && !reader.AtEnd())
        reader.Reject(QStringLiteral("more text after the end of the document"), reader.Offset());
    if (reader.Failed())
        *error = reader.Error();
    return !reader.Failed();
}

// Whether the document is an export this reader understands, with every list in it.
bool CheckMembers(JsonReader& reader, const Members& members, QString* error) {
    QByteArray format;
    reader.Seek(members.format);
    if (members.format < 0 || !reader.ReadString(&format) || format != Transfer::kJsonFormatName) {
        *error = QStringLiteral("a JSON file, but not a Sitemora export (its \"format\" is not "
                                "\"%1\")")
                     .arg(QLatin1String(Transfer::kJsonFormatName));
        return false;
    }
    qint64 version = 0;
    reader.Seek(members.version);
    if (members.version < 0 || !reader.ReadInteger(&version) || version < 1) {
        *error = QStringLiteral("the export has no valid \"version\"");
        return false;
    }
    if (version > Transfer::kJsonFormatVersion) {
        *error = QStringLiteral("written by a newer Sitemora (format version %1; this one reads "
                                "version %2)")
                     .arg(version)
                     .arg(Transfer::kJsonFormatVersion);
        return false;
    }
    if (!members.unknown.isNull()) {
        *error =
            QStringLiteral("the export holds an unknown member \"%1\"").arg(Shown(members.unknown));
        return false;
    }
    const std::pair<qsizetype, const char*> required[] = {
        {members.counters, "counters"}, {members.web, "Web"}, {members.content, "Content"}};
    for (const auto& [offset, name] : required) {
        if (offset < 0) {
            *error = QStringLiteral("the export has no \"%1\"").arg(QLatin1String(name));
            return false;
        }
    }
    return true;
}

} // namespace

QByteArray Table::InsertSql() const {
    return "INSERT INTO " + QByteArray(name_) + " (" + columns_.join(", ") + ") VALUES (?" +
           QByteArray(", ?").repeated(columns_.size() - 1) + ")";
}

bool Table::ReadColumn(JsonReader& reader, int column, Row* row) const {
    if (column >= wholes_.size())
        return reader.ReadTextOrNull(&row->texts[column - wholes_.size()]);
    const Whole& whole = wholes_[column];
    const qsizetype at = reader.Offset();
    qint64& value = row->integers[column];
    bool& isNull = row->integerNull[column];
    isNull = false;
    if (!(whole.nullable ? reader.ReadIntegerOrNull(&value, &isNull) : reader.ReadInteger(&value)))
        return false;
    return isNull || (value >= whole.lowest && value <= kLargest) ||
           reader.Reject(QStringLiteral("%1 is out of range (%2 to %3)")
                             .arg(value)
                             .arg(whole.lowest)
                             .arg(kLargest),
                         at);
}

bool Table::Read(JsonReader& reader, qint64 index, Row* row) const {
    row->texts.fill(QByteArray(), columns_.size() - wholes_.size());
    std::fill(std::begin(row->integerNull), std::end(row->integerNull), true);
    quint64 seen = 0;
    const auto placed = [&](const QByteArray& member) {
        QString where = index > 0 ? QStringLiteral("\"%1\" entry %2").arg(Name()).arg(index)
                                  : QStringLiteral("\"%1\"").arg(Name());
        if (index > 0 && (seen & 1))
            where +=
                QStringLiteral(" (%1 %2)").arg(QLatin1String(columns_[0])).arg(row->integers[0]);
        if (!member.isNull())
            where += QStringLiteral(", \"%1\"").arg(Shown(member));
        return reader.Place(where);
    };
    const qsizetype start = reader.Offset();
    bool first = true;
    QByteArray name;
    if (!reader.BeginObject())
        return placed({});
    while (reader.NextMember(&name, &first)) {
        const int column = int(columns_.indexOf(name));
        if (column < 0 || (seen >> column & 1)) {
            reader.Reject(
                QLatin1String(column < 0 ? "an unknown member \"%1\"" : "\"%1\" a second time")
                    .arg(Shown(name)),
                reader.Offset());
            return placed({});
        }
        if (!ReadColumn(reader, column, row))
            return placed(name);
        seen |= quint64(1) << column;
    }
    if (reader.Failed())
        return placed({});
    for (int column = 0; column < columns_.size(); ++column) {
        if (!(seen >> column & 1)) {
            reader.Reject(QStringLiteral("no \"%1\"").arg(QLatin1String(columns_[column])), start);
            return placed({});
        }
    }
    return true;
}

bool Table::Bind(Sqlite::Statement& insert, const Row& row, bool keepKey) const {
    for (int c = 0; c < wholes_.size(); ++c) {
        const bool bound = row.integerNull[c] || (c == 0 && !keepKey)
                               ? insert.BindNull(c + 1)
                               : insert.BindInteger(c + 1, row.integers[c]);
        if (!bound)
            return false;
    }
    for (int c = int(wholes_.size()); c < columns_.size(); ++c)
        if (!insert.BindText(c + 1, row.texts[c - wholes_.size()]))
            return false;
    return true;
}

Table WebTable() {
    QByteArrayList columns{"WebIndex"};
    for (const QString& column : Catalogue::WebTextColumns())
        columns << column.toLatin1();
    return Table("Web", columns, {{1, false}});
}

// A paragraph's site may be 0 (a new site still being edited), a site deleted since, or,
// in a catalogue brought over from the Jet format, none at all.
Table ContentTable() {
    return Table("Content", {"ContentIndex", "ContentWeb", "ContentTxt"},
                 {{1, false}, {std::numeric_limits<qint32>::min(), true}});
}

Table CounterTable() {
    return Table("counters", {"Web", "Content"}, {{0, false}, {0, false}});
}

bool Check(JsonReader& reader, Members* members, QString* error) {
    if (!ScanDocument(reader, members, error) || !CheckMembers(reader, *members, error))
        return false;
    Row counters;
    reader.Seek(members->counters);
    const auto any = [](const Row&, qsizetype) { return true; };
    if (CounterTable().Read(reader, 0, &counters) &&
        ForEachRow(reader, members->web, WebTable(), any) &&
        ForEachRow(reader, members->content, ContentTable(), any))
        return true;
    *error = reader.Error();
    return false;
}

} // namespace Merge::Json
