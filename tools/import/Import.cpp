#include "Import.h"

#include "Catalogue.h"
#include "LegacyFile.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Import {

namespace {

volatile std::sig_atomic_t interruptSignal = 0;

void OnInterrupt(int signal) {
    interruptSignal = signal;
}

QString SqliteError(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

bool Exec(sqlite3* db, const char* sql, QString* error) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    *error = SqliteError(db);
    return false;
}

struct Statement {
    sqlite3_stmt* stmt = nullptr;
    ~Statement() { sqlite3_finalize(stmt); }
};

void Bind(sqlite3_stmt* stmt, int index, const Legacy::Value& value, bool integer) {
    if (value.null)
        sqlite3_bind_null(stmt, index);
    else if (integer)
        sqlite3_bind_int64(stmt, index, value.integer);
    else
        sqlite3_bind_text(stmt, index, value.text.constData(), int(value.text.size()),
                          SQLITE_TRANSIENT);
}

// Progress goes to a terminal only, and only for tables big enough to make one wait.
Legacy::Progress ProgressPrinter(int fd, const char* what) {
    if (fd < 0)
        return {};
    return [fd, what, shown = -1](std::int64_t done, std::int64_t total) mutable {
        if (total < 2000)
            return;
        const int percent = int(done * 100 / total);
        if (percent == shown)
            return;
        shown = percent;
        dprintf(fd, "\rsitemora-import: reading %s %d%%%s", what, percent,
                done >= total ? "\n" : "");
    };
}

// Keeps the key counter past keys that the legacy table handed out to rows deleted
// since, so that those keys never come back.
bool RaiseSequence(sqlite3* db, const char* table, std::int64_t last, QString* error) {
    if (last <= 0)
        return true;
    Statement insert;
    if (sqlite3_prepare_v2(db,
                           "INSERT INTO sqlite_sequence (name, seq) SELECT ?1, 0 WHERE NOT "
                           "EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = ?1)",
                           -1, &insert.stmt, nullptr) != SQLITE_OK) {
        *error = SqliteError(db);
        return false;
    }
    sqlite3_bind_text(insert.stmt, 1, table, -1, SQLITE_STATIC);
    if (sqlite3_step(insert.stmt) != SQLITE_DONE) {
        *error = SqliteError(db);
        return false;
    }
    Statement update;
    if (sqlite3_prepare_v2(db, "UPDATE sqlite_sequence SET seq = max(seq, ?2) WHERE name = ?1", -1,
                           &update.stmt, nullptr) != SQLITE_OK) {
        *error = SqliteError(db);
        return false;
    }
    sqlite3_bind_text(update.stmt, 1, table, -1, SQLITE_STATIC);
    sqlite3_bind_int64(update.stmt, 2, std::min<std::int64_t>(last, 2147483647));
    if (sqlite3_step(update.stmt) != SQLITE_DONE) {
        *error = SqliteError(db);
        return false;
    }
    return true;
}

bool Fill(sqlite3* db, const QString& legacy, int progressFd, Counts* counts, QString* error) {
    Legacy::File file;
    if (!file.Open(legacy, error))
        return false;

    // The file is thrown away on failure, so a rollback journal on disk buys nothing.
    if (!Exec(db, "PRAGMA journal_mode = MEMORY; PRAGMA synchronous = OFF", error) ||
        !Catalogue::ApplySchema(db, error) || !Exec(db, "BEGIN", error))
        return false;

    const QStringList& textColumns = Catalogue::WebTextColumns();
    std::vector<Legacy::ColumnWanted> webColumns{
        {QStringLiteral("WebIndex"), Legacy::Kind::Integer}};
    QByteArray sql = "INSERT INTO Web (WebIndex";
    QByteArray marks = "?";
    for (const QString& column : textColumns) {
        webColumns.push_back({column, Legacy::Kind::Text});
        sql += ", " + column.toUtf8();
        marks += ", ?";
    }
    sql += ") VALUES (" + marks + ")";
    Statement web;
    if (sqlite3_prepare_v2(db, sql.constData(), -1, &web.stmt, nullptr) != SQLITE_OK) {
        *error = SqliteError(db);
        return false;
    }
    auto storeSite = [&](const std::vector<Legacy::Value>& row, QString* why) {
        // A missing key would make SQLite invent one.
        if (row[0].null) {
            *why = QStringLiteral("the file is damaged: a site has no WebIndex");
            return false;
        }
        for (std::size_t i = 0; i < row.size(); ++i)
            Bind(web.stmt, int(i) + 1, row[i], i == 0);
        const int rc = sqlite3_step(web.stmt);
        sqlite3_reset(web.stmt);
        if (rc != SQLITE_DONE) {
            *why = QStringLiteral("site %1 cannot be stored: %2")
                       .arg(row[0].integer)
                       .arg(SqliteError(db));
            return false;
        }
        ++counts->sites;
        return true;
    };
    if (!file.ReadTable(QStringLiteral("Web"), webColumns, storeSite,
                        ProgressPrinter(progressFd, "sites"), error))
        return false;

    Statement content;
    if (sqlite3_prepare_v2(db,
                           "INSERT INTO Content (ContentIndex, ContentWeb, ContentTxt) "
                           "VALUES (?, ?, ?)",
                           -1, &content.stmt, nullptr) != SQLITE_OK) {
        *error = SqliteError(db);
        return false;
    }
    auto storeParagraph = [&](const std::vector<Legacy::Value>& row, QString* why) {
        if (row[0].null) {
            *why = QStringLiteral("the file is damaged: a paragraph has no ContentIndex");
            return false;
        }
        Bind(content.stmt, 1, row[0], true);
        Bind(content.stmt, 2, row[1], true);
        Bind(content.stmt, 3, row[2], false);
        const int rc = sqlite3_step(content.stmt);
        sqlite3_reset(content.stmt);
        if (rc != SQLITE_DONE) {
            *why = QStringLiteral("paragraph %1 cannot be stored: %2")
                       .arg(row[0].integer)
                       .arg(SqliteError(db));
            return false;
        }
        ++counts->paragraphs;
        if (!row[1].null && row[1].integer == 0)
            ++counts->orphans;
        return true;
    };
    if (!file.ReadTable(QStringLiteral("Content"),
                        {{QStringLiteral("ContentIndex"), Legacy::Kind::Integer},
                         {QStringLiteral("ContentWeb"), Legacy::Kind::Integer},
                         {QStringLiteral("ContentTxt"), Legacy::Kind::Text}},
                        storeParagraph, ProgressPrinter(progressFd, "paragraphs"), error))
        return false;

    if (!RaiseSequence(db, "Web", file.LastAutoNumber(QStringLiteral("Web")), error) ||
        !RaiseSequence(db, "Content", file.LastAutoNumber(QStringLiteral("Content")), error))
        return false;

    Statement strays;
    if (sqlite3_prepare_v2(db,
                           "SELECT count(*) FROM Content WHERE ContentWeb <> 0 AND ContentWeb "
                           "NOT IN (SELECT WebIndex FROM Web)",
                           -1, &strays.stmt, nullptr) != SQLITE_OK ||
        sqlite3_step(strays.stmt) != SQLITE_ROW) {
        *error = SqliteError(db);
        return false;
    }
    counts->strays = sqlite3_column_int64(strays.stmt, 0);
    return Exec(db, "COMMIT", error);
}

QByteArray ReadAll(std::FILE* file) {
    QByteArray data;
    std::rewind(file);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        data.append(buffer, qsizetype(n));
    return data;
}

} // namespace

bool Convert(const QString& legacy, const QString& catalogue, int progressFd, Counts* counts,
             QString* error) {
    *counts = Counts{};
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(catalogue).constData(), &db, SQLITE_OPEN_READWRITE,
                        nullptr) != SQLITE_OK) {
        *error = SqliteError(db);
        sqlite3_close(db);
        return false;
    }
    const bool ok = Fill(db, legacy, progressFd, counts, error);
    if (sqlite3_close(db) != SQLITE_OK && ok) {
        *error = QStringLiteral("the new catalogue cannot be closed");
        return false;
    }
    return ok;
}

bool ConvertIsolated(const QString& legacy, const QString& catalogue, int progressFd,
                     Counts* counts, QString* error, bool* interrupted) {
    *interrupted = false;
    // Unnamed temporary files carry the child's verdict and whatever libmdb prints on
    // the way; reading them after the child has gone cannot block.
    std::FILE* verdict = std::tmpfile();
    std::FILE* notes = std::tmpfile();
    if (!verdict || !notes) {
        *error = QStringLiteral("no room for a temporary file");
        if (verdict)
            std::fclose(verdict);
        if (notes)
            std::fclose(notes);
        return false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child < 0) {
        *error = QStringLiteral("cannot start the reader process");
        std::fclose(verdict);
        std::fclose(notes);
        return false;
    }
    if (child == 0) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGHUP, SIG_DFL);
        const int progress = progressFd >= 0 ? dup(progressFd) : -1;
        dup2(fileno(notes), STDERR_FILENO);
        Counts found;
        QString why;
        const bool ok = Convert(legacy, catalogue, progress, &found, &why);
        if (ok)
            std::fprintf(verdict, "ok %lld %lld %lld %lld\n", (long long)found.sites,
                         (long long)found.paragraphs, (long long)found.orphans,
                         (long long)found.strays);
        else
            std::fprintf(verdict, "error\n%s", why.toUtf8().constData());
        std::fflush(verdict);
        _exit(ok ? 0 : 1);
    }

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            break;
        if (interruptSignal) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            *interrupted = true;
            break;
        }
    }
    const QByteArray said = ReadAll(verdict);
    const QByteArray chatter = ReadAll(notes).trimmed();
    std::fclose(verdict);
    std::fclose(notes);
    if (*interrupted || interruptSignal) {
        *interrupted = true;
        *error = QStringLiteral("interrupted");
        return false;
    }

    long long sites = 0, paragraphs = 0, orphans = 0, strays = 0;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
        std::sscanf(said.constData(), "ok %lld %lld %lld %lld", &sites, &paragraphs, &orphans,
                    &strays) == 4) {
        *counts = Counts{sites, paragraphs, orphans, strays};
        return true;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1 && said.startsWith("error\n")) {
        *error = QString::fromUtf8(said.mid(6));
    } else {
        *error = WIFSIGNALED(status)
                     ? QStringLiteral("the file is damaged: the reader crashed on it (signal %1)")
                           .arg(WTERMSIG(status))
                     : QStringLiteral("the file is damaged: the reader stopped on it");
    }
    // libmdb's own remarks often say where the damage is.
    const QList<QByteArray> lines = chatter.split('\n');
    for (qsizetype i = 0; i < lines.size() && i < 5 && !chatter.isEmpty(); ++i)
        *error += QStringLiteral("\n  libmdb: ") + QString::fromUtf8(lines[i]);
    return false;
}

bool Verify(const QString& catalogue, const Counts& counts, QString* error) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(QFile::encodeName(catalogue).constData(), &db, SQLITE_OPEN_READONLY,
                              nullptr) == SQLITE_OK;
    std::int64_t sites = -1, paragraphs = -1;
    if (ok) {
        Statement count;
        ok = sqlite3_prepare_v2(db,
                                "SELECT (SELECT count(*) FROM Web), (SELECT count(*) FROM "
                                "Content), (SELECT integrity_check FROM pragma_integrity_check)",
                                -1, &count.stmt, nullptr) == SQLITE_OK &&
             sqlite3_step(count.stmt) == SQLITE_ROW;
        if (ok) {
            sites = sqlite3_column_int64(count.stmt, 0);
            paragraphs = sqlite3_column_int64(count.stmt, 1);
            const auto* check = sqlite3_column_text(count.stmt, 2);
            ok = check && qstrcmp(reinterpret_cast<const char*>(check), "ok") == 0;
        }
    }
    if (!ok)
        *error = QStringLiteral("the new catalogue does not read back: %1").arg(SqliteError(db));
    sqlite3_close(db);
    if (ok && (sites != counts.sites || paragraphs != counts.paragraphs)) {
        *error = QStringLiteral("the new catalogue holds %1 sites and %2 paragraphs instead of "
                                "%3 and %4")
                     .arg(sites)
                     .arg(paragraphs)
                     .arg(counts.sites)
                     .arg(counts.paragraphs);
        ok = false;
    }
    return ok;
}

void InstallInterruptHandlers() {
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: waitpid must return so the flag is seen
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

bool Interrupted() {
    return interruptSignal != 0;
}

} // namespace Import
