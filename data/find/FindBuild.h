#pragma once

#include <QString>

#include <atomic>

struct sqlite3;

// Keeping the find index of FindIndex.h: each step is one short transaction over the
// catalogue and the index, so that a build can stop between any two steps (the program
// closing) and the next start goes on from there.
namespace Find {

enum class Progress {
    Idle,   // the index is complete and has taken in every change
    Worked, // there is more to do
    Failed, // `*error` says why; a damaged index file is best removed (RemoveIndex)
};

// Sites built or changes taken in per step: a step holds off the catalogue's other
// writers while it runs, so it stays well under a second.
inline constexpr int kSitesPerStep = 500;
// While the index is being built from nothing: sites hold fewer changes than paragraphs.
inline constexpr int kSitesPerBuildStep = 2000;

// On a read-write catalogue connection that Prepare made with `create`: puts the change
// log and its triggers into the catalogue when they are missing, starts the index afresh
// when it does not match the catalogue (or holds more dead rows than live ones), builds
// the next sites, or takes in the next logged changes.
// `*code`, when given, receives SQLite's code of a failure.
Progress BuildStep(sqlite3* db, QString* error, int* code = nullptr);

// Runs steps until the index is idle or `*stop` is set. A damaged index file is removed and
// built again from nothing; a catalogue busy with another writer is left for a later call.
// With `check`, the index is first read through (seconds on a large one): damage inside
// the index's own records reads without an error from SQLite, so that only this finds it.
Progress KeepCurrent(sqlite3* db, const QString& catalogue, bool check,
                     const std::atomic<bool>* stop, QString* error);

// Detaches the index from `db` and removes its files, for a build from nothing.
void RemoveIndex(sqlite3* db, const QString& catalogue);

} // namespace Find
