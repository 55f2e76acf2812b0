// The main window's statements, timed with whichever SQLite this program is linked with:
// it is built twice from this file, once with the bundled SQLite and once with the
// system's, and sitemora-bench-sqlite runs both on one plain catalogue. Only SQLite's own
// interface and the catalogue's InStr are used, so nothing else differs between the two.
// Run: sitemora-bench-statements CATALOGUE
// Prints "sqlite VERSION", then a line "NAME MILLISECONDS ROWS" for each statement.
#include "Matching.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

sqlite3* db = nullptr;

void Check(int rc) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::exit(1);
    }
}

double NowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Prepares `sql` as the program does, binds `texts`, and steps through every row taking
// every column as text, as a window that shows them must. The number of rows.
long Run(const std::string& sql, const std::vector<std::string>& texts = {}) {
    sqlite3_stmt* st = nullptr;
    Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr));
    for (std::size_t i = 0; i < texts.size(); ++i)
        sqlite3_bind_text(st, int(i + 1), texts[i].c_str(), -1, SQLITE_TRANSIENT);
    const int columns = sqlite3_column_count(st);
    long rows = 0;
    std::size_t bytes = 0;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        ++rows;
        for (int c = 0; c < columns; ++c) {
            sqlite3_column_text(st, c);
            bytes += std::size_t(sqlite3_column_bytes(st, c));
        }
    }
    Check(rc);
    sqlite3_finalize(st);
    // Kept where the compiler cannot drop the reads that produced it.
    static volatile std::size_t sink;
    sink = sink + bytes;
    return rows;
}

// The fastest of `runs` runs of `work`, which returns a number of rows.
template <typename Work> void Report(const char* name, int runs, Work work) {
    double best = 1e18;
    long rows = 0;
    for (int i = 0; i < runs; ++i) {
        const double start = NowMs();
        rows = work();
        best = std::min(best, NowMs() - start);
    }
    std::printf("%s %.3f %ld\n", name, best, rows);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CATALOGUE\n", argv[0]);
        return 2;
    }
    Check(sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr));
    Check(RegisterMatching(db));
    std::printf("sqlite %s\n", sqlite3_libversion());

    const std::string list = "Select * From Web Where (WebIndex > 0) Order By WebIndex";
    Run(list); // the file's pages into the cache, for every statement alike
    Report("list", 5, [&] { return Run(list); });
    Report("search", 5, [&] {
        return Run("Select * From Web Where (WebIndex > 0) And (InStr(WebName,?)) And "
                   "(InStr(WebUrl,?)) Order By WebIndex",
                   {"99", "9.EXAMPLE"});
    });

    // A change of selection: a site by its number, then its paragraphs, each statement
    // written out with the number as the program writes it; 1,000 sites at random.
    sqlite3_stmt* last = nullptr;
    Check(sqlite3_prepare_v2(db, "Select max(WebIndex) From Web", -1, &last, nullptr));
    Check(sqlite3_step(last));
    const long sites = std::max<long>(1, long(sqlite3_column_int64(last, 0)));
    sqlite3_finalize(last);
    const auto each = [&](const char* before, const char* after) {
        std::mt19937 random(7);
        long rows = 0;
        for (int i = 0; i < 1000; ++i)
            rows += Run(before + std::to_string(1 + long(random() % sites)) + after);
        return rows;
    };
    Report("site", 3, [&] { return each("Select * From Web Where WebIndex = ", ""); });
    Report("paragraphs", 3, [&] {
        return each("Select * From Content Where ContentWeb = ", " Order By ContentIndex");
    });
    sqlite3_close(db);
    return 0;
}
