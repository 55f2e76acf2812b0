#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A command-line program run to its end, as from a shell in `dir`.
struct Outcome {
    int code = -1; // -1: did not finish normally within a minute
    QString out;
    QString err;
};

inline Outcome RunProgram(const QString& program, const QString& dir, const QStringList& args) {
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(program, args);
    Outcome outcome;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return outcome;
    outcome.code = process.exitCode();
    outcome.out = QString::fromUtf8(process.readAllStandardOutput());
    outcome.err = QString::fromUtf8(process.readAllStandardError());
    return outcome;
}
