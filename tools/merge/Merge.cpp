#include "Merge.h"

#include "Backup.h"
#include "Catalogue.h"
#include "CommandLine.h"
#include "Connection.h"
#include "Mergers.h"
#include "Sqlite.h"
#include "Transfer.h"
#include "UserCatalogue.h"

#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Merge {

namespace {

// A JSON export is read in place from the mapped file, so only the catalogue's own
// limits bound it; a bookmark file is parsed into memory and is never this large.
constexpr qint64 kMaxJsonBytes = qint64(4) << 30;
constexpr qint64 kMaxBookmarkBytes = qint64(256) << 20;

// The input, mapped read-only.
class InputFile {
public:
    ~InputFile() {
        if (data_)
            ::munmap(data_, size_t(size_));
    }

    // Refuses anything but a regular file before reading a byte: a FIFO would block and a
    // device never end. O_NONBLOCK keeps the open itself from waiting on a FIFO.
    bool Open(const QString& path, QString* error) {
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        struct stat info {};
        bool ok = ::fstat(fd, &info) == 0;
        if (!ok)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        else if (!S_ISREG(info.st_mode))
            *error = QStringLiteral("not a regular file");
        else if (info.st_size == 0)
            *error = QStringLiteral("the file is empty");
        else if (info.st_size > kMaxJsonBytes)
            *error = TooLarge(info.st_size, kMaxJsonBytes);
        ok = ok && error->isEmpty();
        if (ok) {
            void* data = ::mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            ok = data != MAP_FAILED;
            if (ok) {
                data_ = data;
                size_ = info.st_size;
            } else {
                *error = QString::fromLocal8Bit(std::strerror(errno));
            }
        }
        ::close(fd);
        return ok;
    }

    QByteArrayView Bytes() const { return {static_cast<const char*>(data_), size_}; }

    static QString TooLarge(qint64 size, qint64 limit) {
        return QStringLiteral("too large (%1 MiB; at most %2 MiB is read)")
            .arg(size >> 20)
            .arg(limit >> 20);
    }

private:
    void* data_ = nullptr;
    qint64 size_ = 0;
};

enum class Kind { Json, Bookmarks, Unknown };

// A JSON export opens with a brace, a bookmark file with a tag; a byte order mark and
// blanks may come first.
Kind KindOf(QByteArrayView bytes) {
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    for (const char c : bytes) {
        if (c == '{')
            return Kind::Json;
        if (c == '<')
            return Kind::Bookmarks;
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
            break;
    }
    return Kind::Unknown;
}

// The backup that holds the catalogue as it is: a new one, or the newest when nothing has
// changed since it was made. Empty, with `*error`, when there is none.
QString BackupBeforeWriting(const QString& catalogue, int keep, QString* error) {
    Backup::Options options;
    options.keep = keep;
    QString name;
    switch (Backup::Make(catalogue, options, &name, error)) {
    case Backup::Result::Written:
        return name;
    case Backup::Result::Unchanged:
        if (const QList<Backup::Entry> backups = Backup::List(catalogue); !backups.isEmpty())
            return backups.first().name;
        *error = QStringLiteral("its newest backup has gone");
        return {};
    case Backup::Result::NoCatalogue:
        *error = QStringLiteral("%1 does not exist").arg(catalogue);
        return {};
    case Backup::Result::Failed:
        break;
    }
    return {};
}

// A file name as the shell takes it back when the line is copied.
QString ShellWord(const QString& word) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+:,=@-]+$"));
    if (plain.match(word).hasMatch())
        return word;
    return QLatin1Char('\'') + QString(word).replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
           QLatin1Char('\'');
}

// The closing line: how to undo the merge.
QString UndoLine(const CommandLine::Program& program, const QString& catalogue,
                 const QString& backup) {
    const QString where = catalogue == QLatin1String(Catalogue::kFileName) ? QString()
                          : catalogue == UserCataloguePath()
                              ? QStringLiteral("--user-catalogue ")
                              : QStringLiteral("--catalogue %1 ").arg(ShellWord(catalogue));
    return QStringLiteral("%1: backup %2 holds the catalogue as it was before; "
                          "sitemora-backup %3restore %2 undoes the merge")
        .arg(program.name, backup, where);
}

void Report(const CommandLine::Program& program, const Summary& summary, const QString& input,
            const QString& catalogue) {
    const QString what = CommandLine::Plural(summary.sites, "site", "sites") +
                         QStringLiteral(" and ") +
                         CommandLine::Plural(summary.paragraphs, "paragraph", "paragraphs");
    CommandLine::Print(
        QStringLiteral("%1: %2 %3 from %4 %5 %6")
            .arg(program.name,
                 summary.restored ? QStringLiteral("restored") : QStringLiteral("added"), what,
                 input, summary.restored ? QStringLiteral("into") : QStringLiteral("to"),
                 catalogue));
    if (summary.homeless > 0)
        CommandLine::Print(QStringLiteral("%1: left out %2 with no site in the file")
                               .arg(program.name, CommandLine::Plural(summary.homeless, "paragraph",
                                                                      "paragraphs")));
    if (summary.known > 0)
        CommandLine::Print(
            QStringLiteral("%1: skipped %2 the catalogue already has")
                .arg(program.name, CommandLine::Plural(summary.known, "address", "addresses")));
    if (summary.notPages > 0)
        CommandLine::Print(
            QStringLiteral("%1: skipped %2 that a browser does not open as a page "
                           "(javascript:, place:, data: and the like)")
                .arg(program.name, CommandLine::Plural(summary.notPages, "bookmark", "bookmarks")));
}

} // namespace

int Run(const CommandLine::Program& program, const QString& cataloguePath, const QString& input) {
    if (!QFileInfo::exists(cataloguePath))
        return CommandLine::ReportFailure(program, CommandLine::NoCatalogue(cataloguePath));
    InputFile file;
    QString error;
    if (!file.Open(input, &error))
        return CommandLine::ReportFailure(program,
                                          QStringLiteral("cannot read %1: %2").arg(input, error));
    const Kind kind = KindOf(file.Bytes());
    if (kind == Kind::Unknown)
        return CommandLine::ReportFailure(
            program,
            QStringLiteral("cannot read %1: neither a Sitemora JSON export nor a bookmark file")
                .arg(input));
    if (kind == Kind::Bookmarks && file.Bytes().size() > kMaxBookmarkBytes)
        return CommandLine::ReportFailure(
            program, QStringLiteral("cannot read %1: %2")
                         .arg(input, InputFile::TooLarge(file.Bytes().size(), kMaxBookmarkBytes)));

    int keep = Backup::kDefaultKeep;
    if (!Backup::KeepFromEnvironment(&keep, &error))
        return CommandLine::ReportFailure(program, error);

    // The program's own connection: it waits for another running copy the same way, and
    // opens only a file that holds the catalogue's tables.
    Connection connection(cataloguePath);
    if (!connection.Open(&error))
        return CommandLine::ReportFailure(
            program, QStringLiteral("cannot open %1: %2").arg(cataloguePath, error));
    // A backup is made just before the first write, so that sitemora-backup restore
    // undoes the merge. Both kinds of file are checked whole before anything is written,
    // so one that is refused leaves no backup behind. Without a backup nothing is written.
    QString backup;
    QString backupError;
    bool backupTried = false;
    connection.SetBeforeFirstWrite([&](int) {
        if (!std::exchange(backupTried, true))
            backup = BackupBeforeWriting(cataloguePath, keep, &backupError);
        return !backup.isEmpty();
    });
    // One transaction may add a whole catalogue; with SQLite's small default cache it
    // would write pages out and read them back many times before the commit.
    Sqlite::Exec(connection.Handle(), "PRAGMA cache_size = -65536", nullptr);
    Summary summary;
    const bool merged = kind == Kind::Json
                            ? MergeJson(connection, file.Bytes(), &summary, &error)
                            : MergeBookmarks(connection, file.Bytes(), &summary, &error);
    if (backupTried && backup.isEmpty())
        error = QStringLiteral("no backup to undo it could be made first (%1)").arg(backupError);
    if (!merged)
        return CommandLine::ReportFailure(program,
                                          QStringLiteral("cannot add %1 to %2: %3; the catalogue "
                                                         "is unchanged")
                                              .arg(input, cataloguePath, error));
    Report(program, summary, input, cataloguePath);
    if (!backup.isEmpty())
        CommandLine::Print(UndoLine(program, cataloguePath, backup));
    return 0;
}

} // namespace Merge
