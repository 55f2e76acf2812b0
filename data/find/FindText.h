#pragma once

#include "Sqlite.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

struct sqlite3;

// What a find looks for and what it shows: the words of a query, the texts of a site that
// are searched (never the passwords), and the test of one site against the words.
namespace Find {

// The words of a query, split at spaces, as UTF-8; empty when there is none.
QList<QByteArray> SplitWords(const QString& text);

// What a find shows of one site.
struct Result {
    qint64 site = 0;
    QString name;
    // The label of the box the text was found in, or "段落 N".
    QString place;
    // A short piece of that text around the match, on one line.
    QString excerpt;
    qsizetype matchAt = 0;
    qsizetype matchLength = 0;
};

// A box of the site record that a find reads, with the label the user knows it by.
struct Box {
    const char* column;
    const char* label;
};
// In the order the editor shows them; the passwords are not among them.
const QList<Box>& Boxes();

// The searched texts of one site: its boxes in the order of Boxes(), then its paragraphs
// in their order. Pending paragraphs belong to no site and are never among them.
struct SiteTexts {
    qint64 site = 0;
    QList<QByteArray> boxes;
    QList<QByteArray> paragraphs;
};

// The site when every word occurs in one of its texts; the first word's first place
// makes the result.
std::optional<Result> Match(const SiteTexts& texts, const QList<QByteArray>& words);

// What the index holds of a site: every text, joined by line breaks, so that each text
// lies whole inside it.
QByteArray IndexBody(const SiteTexts& texts);

// Reads sites' texts from a catalogue connection, on the caller's thread.
class SiteReader {
public:
    explicit SiteReader(sqlite3* db);
    // The sites after `after`, in the order of their numbers, at most `limit` of them.
    bool ReadAfter(qint64 after, int limit, QList<SiteTexts>* sites, QString* error);
    // One site; `*found` is false when there is no such site.
    bool Read(qint64 site, SiteTexts* texts, bool* found, QString* error);

private:
    bool ReadRows(Sqlite::Statement& rows, QList<SiteTexts>* sites, QString* error);

    sqlite3* db_;
    Sqlite::Statement one_;
    Sqlite::Statement after_;
    Sqlite::Statement paragraphs_;
};

} // namespace Find
