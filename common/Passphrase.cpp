#include "Passphrase.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace Passphrase {
namespace {

constexpr std::size_t kLongest = 1024;

QString SystemReason() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// One line from `fd`, without its end; false at the end of the input with nothing read.
bool ReadLine(int fd, Cipher::Secret* line, QString* error) {
    *line = Cipher::Secret(kLongest);
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = QStringLiteral("cannot read the passphrase: %1").arg(SystemReason());
            return false;
        }
        if (n == 0 || c == '\n')
            break;
        if (!line->Append(&c, 1)) {
            *error = QStringLiteral("the passphrase is longer than %1 bytes").arg(kLongest);
            return false;
        }
    }
    return true;
}

// The terminal of the session, echo off while `prompt` is answered.
bool AskTerminal(const QString& prompt, Cipher::Secret* answer, QString* error) {
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        *error = QStringLiteral("no terminal to ask the passphrase on (%1); give it with "
                                "--passphrase-fd N")
                     .arg(SystemReason());
        return false;
    }
    const QByteArray text = prompt.toLocal8Bit();
    (void)!::write(tty, text.constData(), static_cast<size_t>(text.size()));
    termios before{};
    const bool isTerminal = tcgetattr(tty, &before) == 0;
    if (isTerminal) {
        termios quiet = before;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    const bool ok = ReadLine(tty, answer, error);
    if (isTerminal)
        tcsetattr(tty, TCSAFLUSH, &before);
    ::close(tty);
    return ok;
}

bool Same(const Cipher::Secret& a, const Cipher::Secret& b) {
    return a.Size() == b.Size() &&
           (a.Size() == 0 || std::memcmp(a.Data(), b.Data(), a.Size()) == 0);
}

} // namespace

QCommandLineOption FdOption() {
    return QCommandLineOption(QStringLiteral("passphrase-fd"),
                              QStringLiteral("Read each passphrase as one line from descriptor "
                                             "N instead of asking on the terminal."),
                              QStringLiteral("N"));
}

bool FdFrom(const QCommandLineParser& parser, const QCommandLineOption& option, int* fd,
            QString* error) {
    *fd = -1;
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < 0 || fcntl(value, F_GETFD) < 0) {
        *error = QStringLiteral("--passphrase-fd: %1 is not an open file descriptor")
                     .arg(parser.value(option));
        return false;
    }
    *fd = value;
    return true;
}

void UseForTool(int fd) {
    Cipher::SetPassphraseSource(
        [fd](const QString& path, Cipher::Ask ask, Cipher::Secret* passphrase) {
            if (ask == Cipher::Ask::Wrong)
                return false;
            QString error;
            if (AskCurrent(fd, QStringLiteral("Passphrase of %1: ").arg(path), passphrase, &error))
                return true;
            const QByteArray line = error.toLocal8Bit() + '\n';
            (void)!::write(STDERR_FILENO, line.constData(), static_cast<size_t>(line.size()));
            return false;
        });
}

bool UseForTool(const QCommandLineParser& parser, const QCommandLineOption& option,
                QString* error) {
    int fd = -1;
    if (!FdFrom(parser, option, &fd, error))
        return false;
    UseForTool(fd);
    return true;
}

bool AskCurrent(int fd, const QString& prompt, Cipher::Secret* passphrase, QString* error) {
    return fd < 0 ? AskTerminal(prompt, passphrase, error) : ReadLine(fd, passphrase, error);
}

bool AskNew(int fd, Cipher::Secret* passphrase, QString* error) {
    if (!AskCurrent(fd, QStringLiteral("New passphrase: "), passphrase, error))
        return false;
    if (passphrase->Size() == 0) {
        *error = QStringLiteral("an empty passphrase protects nothing; nothing was changed");
        return false;
    }
    if (fd >= 0)
        return true;
    Cipher::Secret again;
    if (!AskCurrent(fd, QStringLiteral("The same passphrase again: "), &again, error))
        return false;
    if (!Same(*passphrase, again)) {
        *error = QStringLiteral("the two passphrases differ; nothing was changed");
        return false;
    }
    return true;
}

} // namespace Passphrase
