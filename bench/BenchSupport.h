#pragma once

// What the benchmark programs share: a catalogue of a chosen size to time against,
// message boxes that never block, and the figures of this process and of the child
// processes it runs.

#include "Dialogs.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <sys/types.h>
#include <vector>

// Says on standard error what would have been shown in a box, and answers No.
class QuietDialogs : public Dialogs {
public:
    void Information(const QString& text) override;
    bool Confirm(const QString& text, const QString& title) override;
    void ErrorReport(const QString& text) override;
};

// Writes a new catalogue at `path` holding `sites` sites, with names, addresses,
// accounts and some sub-pages, and `paragraphs` paragraphs given to sites at random, so
// that a site's paragraphs lie scattered through the file as years of notes leave them.
bool MakeCatalogue(const QString& path, int sites, qint64 paragraphs, QString* error);

// Makes such a catalogue, Sitemora.mdb in `dir`, and says on standard output what it
// holds when it has sites; says why and ends the process when it cannot. Its path.
QString BenchCatalogue(const QString& dir, int sites, qint64 paragraphs);

// The middle value; 0 for none.
double Median(std::vector<double> values);

// This process's peak resident memory.
long PeakMb();

struct ChildOptions {
    // The child's current directory; empty for this process's.
    QString dir;
    // Changes to this process's environment for the child: "NAME=value" sets a
    // variable, a bare "NAME" removes it.
    QStringList environment;
    // When set, also given to the child as its descriptor 3.
    int descriptor3 = -1;
};

struct ChildResult {
    // Ran and exited with status 0.
    bool ok = false;
    double seconds = 0;
    // The processor time it used, which a busy machine does not inflate.
    double cpuSeconds = 0;
    long peakMb = 0;
};

// A program run with its standard output and error dropped; ended with SIGTERM if it
// still runs when this object goes.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // `command` is the program (looked up in PATH when it names no folder) and its
    // arguments.
    bool Start(const QStringList& command, const ChildOptions& options, QString* error);
    pid_t Pid() const { return pid_; }
    // Since just before it was started.
    double ElapsedMs() const { return clock_.nsecsElapsed() / 1e6; }
    // False once it has ended (it is then waited for).
    bool Running();
    // Asks it to end, and waits.
    ChildResult Stop();
    ChildResult Wait();

private:
    // True once it has ended, with `ended_` filled in.
    bool Reap(int flags);

    pid_t pid_ = -1;
    QElapsedTimer clock_;
    ChildResult ended_;
};

// Runs a program to its end.
ChildResult RunChild(const QStringList& command, const ChildOptions& options = {});

// The passphrase the benchmarks encrypt their catalogues under.
inline constexpr char kBenchPassphrase[] = "a benchmark passphrase";

// Lets this process open the benchmarks' encrypted catalogues: kBenchPassphrase is given
// for each.
void UseBenchPassphrase();

// The read end of a pipe that holds kBenchPassphrase as one line and then ends, for a
// program's --passphrase-fd; -1 when no pipe can be made. The caller closes it.
int PassphrasePipe();

// A copy of the catalogue at `path`, Sitemora.mdb in `dir`, encrypted by sitemora-key as a
// user would encrypt it; says why and ends the process when that fails. Its path.
QString EncryptedCopy(const QString& path, const QString& dir);

// How long one key derivation takes at the catalogues' cost, in this process.
double DerivationMs();
