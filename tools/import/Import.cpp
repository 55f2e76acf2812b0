#include "Import.h"

#include "Catalogue.h"
#include "LegacyFile.h"
#include "Sqlite.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Import {

namespace {

volatile std::sig_atomic_t interruptSignal = 0;
constexpr int kInterrupts[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

void OnInterrupt(int signal) {
    if (interruptSignal == 0)
        interruptSignal = signal;
}

bool Bind(Sqlite::Statement& insert, int index, const Legacy::Value& value, Legacy::Kind kind) {
    if (value.null)
        return insert.BindNull(index);
    if (kind == Legacy::Kind::Integer)
        return insert.BindInteger(index, value.integer);
    // A non-null value is text, even an empty one.
    return insert.BindText(index, value.text.isNull() ? QByteArray("", 0) : value.text);
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

// One legacy table and the catalogue table it goes to; the first column is the key.
struct TableCopy {
    QString table;
    QString noun; // what a row is to the user: "site"
    std::vector<Legacy::ColumnWanted> columns;
    const char* progress;
};

// Copies every row of one table, keys as they are, so that paragraphs keep their sites
// and their order. `stored` counts each row once it is in.
bool CopyTable(Legacy::File& file, sqlite3* db, const TableCopy& copy, int progressFd,
               const std::function<void(const std::vector<Legacy::Value>&)>& stored,
               QStringList* notes, QString* error) {
    const QString& key = copy.columns[0].name;
    QStringList names;
    QStringList marks;
    for (const Legacy::ColumnWanted& column : copy.columns) {
        names << column.name;
        marks << QStringLiteral("?");
    }
    const QByteArray sql =
        QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
            .arg(copy.table, names.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")))
            .toUtf8();
    Sqlite::Statement insert(db, sql.constData());
    if (!insert.IsValid()) {
        *error = Sqlite::LastError(db);
        return false;
    }
    const std::int64_t lastKey = file.LastAutoNumber(copy.table);
    std::int64_t aboveCounter = 0;
    QString firstAbove;

    auto store = [&](std::int64_t number, const std::vector<Legacy::Value>& row, QString* why) {
        const Legacy::Value& index = row[0];
        auto place = [&] { return Legacy::RowPlace(copy.table, number, key, index); };
        // A missing key would make SQLite invent one.
        if (index.null || index.integer <= 0) {
            *why = QStringLiteral("the file is damaged in %1: %2")
                       .arg(place(), index.null ? QStringLiteral("it has no %1").arg(key)
                                                : QStringLiteral("a %1 must be above 0").arg(key));
            return false;
        }
        if (lastKey > 0 && index.integer > lastKey && aboveCounter++ == 0)
            firstAbove = place();
        bool bound = true;
        for (std::size_t i = 0; i < row.size() && bound; ++i)
            bound = Bind(insert, int(i) + 1, row[i], copy.columns[i].kind);
        // A failed bind leaves the row unstored and SQLite's reason in place.
        if (bound && insert.Run()) {
            stored(row);
            return true;
        }
        const int detail = Sqlite::LastCode(db);
        const QString message = Sqlite::LastError(db);
        if (detail == SQLITE_CONSTRAINT_PRIMARYKEY || detail == SQLITE_CONSTRAINT_UNIQUE)
            *why = QStringLiteral("the file is damaged in %1: an earlier row has the same %2")
                       .arg(place(), key);
        else
            *why = QStringLiteral("%1 %2 cannot be stored in the new catalogue: %3")
                       .arg(copy.noun)
                       .arg(index.integer)
                       .arg(message);
        return false;
    };
    if (!file.ReadTable(copy.table, copy.columns, store, ProgressPrinter(progressFd, copy.progress),
                        error))
        return false;
    // A key above the counter cannot have come from the counter, but a program may have
    // set it on purpose, so it comes over as it is, with a word to the user.
    if (aboveCounter > 0) {
        const bool one = aboveCounter == 1;
        *notes << QStringLiteral("%1 %2 %3 %4 above %5, the last number the old table handed "
                                 "out, first in %6; %7 came over unchanged, but a damaged byte "
                                 "can cause this, so check %8")
                      .arg(aboveCounter)
                      .arg(one ? copy.noun : copy.noun + QLatin1Char('s'))
                      .arg(one ? QStringLiteral("has a") : QStringLiteral("have a"), key)
                      .arg(lastKey)
                      .arg(firstAbove, one ? QStringLiteral("it") : QStringLiteral("they"),
                           one ? QStringLiteral("it") : QStringLiteral("them"));
    }
    // Keeps the key counter past keys that the legacy table handed out to rows deleted
    // since, so that those keys never come back.
    return lastKey <= 0 || Sqlite::RaiseCounter(db, copy.table.toUtf8().constData(),
                                                std::min<std::int64_t>(lastKey, 2147483647), error);
}

bool Fill(sqlite3* db, const QString& legacy, int progressFd, Counts* counts, QString* error) {
    Legacy::File file;
    if (!file.Open(legacy, error))
        return false;

    // The file is thrown away on failure, so a rollback journal on disk buys nothing.
    Sqlite::Transaction transaction(db);
    if (!Sqlite::Exec(db, "PRAGMA journal_mode = MEMORY; PRAGMA synchronous = OFF", error) ||
        !Catalogue::ApplySchema(db, error) || !transaction.Begin(error))
        return false;

    TableCopy web{QStringLiteral("Web"),
                  QStringLiteral("site"),
                  {{QStringLiteral("WebIndex"), Legacy::Kind::Integer}},
                  "sites"};
    for (const QString& column : Catalogue::WebTextColumns())
        web.columns.push_back({column, Legacy::Kind::Text});
    const TableCopy content{QStringLiteral("Content"),
                            QStringLiteral("paragraph"),
                            {{QStringLiteral("ContentIndex"), Legacy::Kind::Integer},
                             {QStringLiteral("ContentWeb"), Legacy::Kind::Integer},
                             {QStringLiteral("ContentTxt"), Legacy::Kind::Text}},
                            "paragraphs"};
    auto site = [counts](const std::vector<Legacy::Value>&) { ++counts->sites; };
    auto paragraph = [counts](const std::vector<Legacy::Value>& row) {
        ++counts->paragraphs;
        if (!row[1].null && row[1].integer == 0)
            ++counts->orphans;
    };
    if (!CopyTable(file, db, web, progressFd, site, &counts->notes, error) ||
        !CopyTable(file, db, content, progressFd, paragraph, &counts->notes, error))
        return false;

    Sqlite::Statement strays(db, "SELECT count(*) FROM Content WHERE ContentWeb <> 0 AND "
                                 "ContentWeb NOT IN (SELECT WebIndex FROM Web)");
    if (!strays.Next()) {
        *error = Sqlite::LastError(db);
        return false;
    }
    counts->strays = strays.Integer(0);
    return transaction.Commit(error);
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
    Sqlite::Database db;
    if (db.Open(catalogue, SQLITE_OPEN_READWRITE, error) != SQLITE_OK)
        return false;
    const bool ok = Fill(db.Get(), legacy, progressFd, counts, error);
    if (db.Close() != SQLITE_OK && ok) {
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
        for (const int signal : kInterrupts)
            std::signal(signal, SIG_DFL);
        const int progress = progressFd >= 0 ? dup(progressFd) : -1;
        dup2(fileno(notes), STDERR_FILENO);
        Counts found;
        QString why;
        const bool ok = Convert(legacy, catalogue, progress, &found, &why);
        if (ok)
            std::fprintf(verdict, "ok %lld %lld %lld %lld\n%s", (long long)found.sites,
                         (long long)found.paragraphs, (long long)found.orphans,
                         (long long)found.strays,
                         found.notes.join(QLatin1Char('\n')).toUtf8().constData());
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
        *counts = Counts{sites, paragraphs, orphans, strays, {}};
        const qsizetype notes = said.indexOf('\n') + 1;
        if (notes > 0 && notes < said.size())
            counts->notes = QString::fromUtf8(said.mid(notes)).split(QLatin1Char('\n'));
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
    Sqlite::Database db;
    QString why;
    bool ok = db.Open(catalogue, SQLITE_OPEN_READONLY, &why) == SQLITE_OK;
    std::int64_t sites = -1, paragraphs = -1;
    if (ok) {
        Sqlite::Statement count(db.Get(), "SELECT (SELECT count(*) FROM Web), (SELECT count(*) "
                                          "FROM Content), (SELECT integrity_check FROM "
                                          "pragma_integrity_check)");
        ok = count.Next();
        if (ok) {
            sites = count.Integer(0);
            paragraphs = count.Integer(1);
            ok = count.View(2) == QByteArrayView("ok");
        }
        why = Sqlite::LastError(db.Get());
    }
    if (!ok)
        *error = QStringLiteral("the new catalogue does not read back: %1").arg(why);
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

sigset_t InterruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kInterrupts)
        sigaddset(&set, signal);
    return set;
}

void InstallInterruptHandlers() {
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: waitpid must return so the flag is seen
    for (const int signal : kInterrupts)
        sigaction(signal, &action, nullptr);
}

int InterruptSignal() {
    return interruptSignal;
}

} // namespace Import
