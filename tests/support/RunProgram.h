#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

// A command-line program run to its end, as from a shell in `dir`.
struct Outcome {
    int code = -1; // -1: did not finish normally within the time limit
    QString out;
    QString err;
};

// `setUp` prepares the process before it starts: its environment, its limits.
inline Outcome RunProgram(const QString& program, const QString& dir, const QStringList& args,
                          const std::function<void(QProcess&)>& setUp = {}, int limitMs = 60000) {
    QProcess process;
    process.setWorkingDirectory(dir);
    if (setUp)
        setUp(process);
    process.start(program, args);
    Outcome outcome;
    if (!process.waitForFinished(limitMs) || process.exitStatus() != QProcess::NormalExit)
        return outcome;
    outcome.code = process.exitCode();
    outcome.out = QString::fromUtf8(process.readAllStandardOutput());
    outcome.err = QString::fromUtf8(process.readAllStandardError());
    return outcome;
}
