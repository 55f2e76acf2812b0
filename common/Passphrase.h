#pragma once

#include "Cipher.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

// How the tools get passphrases: typed on the terminal without echo, or, for scripts, one
// line each from a descriptor given with --passphrase-fd. Never from the command line or the
// environment, where other users' programs could read them.
namespace Passphrase {

QCommandLineOption FdOption();
// The descriptor --passphrase-fd names, or -1 when it is not given; false when its value is
// not an open descriptor.
bool FdFrom(const QCommandLineParser& parser, const QCommandLineOption& option, int* fd,
            QString* error);

// UseForTool with the descriptor of --passphrase-fd; false when its value is wrong.
bool UseForTool(const QCommandLineParser& parser, const QCommandLineOption& option, QString* error);
// Lets a tool open encrypted catalogues: the passphrase is asked once (from `fd`, or from the
// terminal when it is -1); a wrong one fails the open with Cipher::kWrongPassphrase.
void UseForTool(int fd);

// A passphrase that opens a file, asked with `prompt` on the terminal or read from `fd`.
bool AskCurrent(int fd, const QString& prompt, Cipher::Secret* passphrase, QString* error);
// A new passphrase: twice on the terminal (the two must match), or one line from `fd`.
// An empty one is refused.
bool AskNew(int fd, Cipher::Secret* passphrase, QString* error);

} // namespace Passphrase
