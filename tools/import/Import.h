#pragma once

#include <QString>
#include <QStringList>

#include <csignal>
#include <cstdint>

// Copies a legacy catalogue into a new SQLite catalogue file.
namespace Import {

struct Counts {
    std::int64_t sites = 0;
    std::int64_t paragraphs = 0;
    std::int64_t orphans = 0; // paragraphs with ContentWeb 0
    std::int64_t strays = 0;  // paragraphs naming a site that is not there
    QStringList notes;        // what the user should look at although it came over
};

// Fills `catalogue`, an empty file, with the schema and every row of `legacy`.
// `progressFd` receives a progress line on large tables; -1 keeps quiet.
bool Convert(const QString& legacy, const QString& catalogue, int progressFd, Counts* counts,
             QString* error);

// Convert, run in a child process: libmdb can crash on a damaged file, and that must
// end neither this process nor its clean-up. Returns false with `*interrupted` set when
// a signal from InstallInterruptHandlers arrived meanwhile.
bool ConvertIsolated(const QString& legacy, const QString& catalogue, int progressFd,
                     Counts* counts, QString* error, bool* interrupted);

// Counts the rows of a finished catalogue afresh and compares them with `counts`.
bool Verify(const QString& catalogue, const Counts& counts, QString* error);

// The signals that end the program from a terminal or a session: Ctrl+C, Ctrl+\,
// kill and a closed terminal.
sigset_t InterruptSignals();

// The signals of InterruptSignals then only set a flag, so that the caller can remove its
// temporary file before leaving. Block them across the creation of that file and the
// call, so that none can come in between.
void InstallInterruptHandlers();
// The signal that arrived since, or 0.
int InterruptSignal();

} // namespace Import
