#pragma once

#include <QString>

class OutputFile;
struct sqlite3;

// The three shapes an export takes. Each reads the catalogue row by row and writes as it
// goes, so memory stays flat however large the catalogue is; the caller holds the read
// transaction that makes the rows one consistent state.
namespace Export {

struct Counts {
    qint64 sites = 0;
    qint64 paragraphs = 0;
    // Addresses a bookmark file leaves out because a browser would not open them as pages.
    qint64 leftOut = 0;
};

// Every column of every site and paragraph, and the key counters (docs/json-format.md).
bool WriteJson(sqlite3* db, OutputFile& out, Counts* counts, QString* error);

// One row per site with its paragraphs in one cell (docs/csv-format.md).
bool WriteCsv(sqlite3* db, OutputFile& out, Counts* counts, QString* error);

// A bookmark file a browser imports: one folder per site holding its addresses.
bool WriteBookmarks(sqlite3* db, OutputFile& out, Counts* counts, QString* error);

} // namespace Export
