#pragma once

#include "Cipher.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include <deque>

// A cheap derivation, so that tests derive keys by the dozen; the files they make open only
// in test programs that set the same.
inline void UseCheapKeys() {
    Cipher::SetCostForTesting({1, 64, 1});
}

inline Cipher::Secret SecretOf(const QByteArray& text) {
    Cipher::Secret secret(static_cast<std::size_t>(text.size()));
    secret.Append(text.constData(), static_cast<std::size_t>(text.size()));
    return secret;
}

// Answers the passphrase questions from a list, then gives up; records how it was asked.
struct ScriptedPassphrases {
    std::deque<QByteArray> answers;
    QList<Cipher::Ask> asked;

    void Install() {
        Cipher::SetPassphraseSource(
            [this](const QString&, Cipher::Ask ask, Cipher::Secret* passphrase) {
                asked.append(ask);
                if (answers.empty())
                    return false;
                *passphrase = SecretOf(answers.front());
                answers.pop_front();
                return true;
            });
    }
    ~ScriptedPassphrases() { Cipher::SetPassphraseSource({}); }
};

inline QByteArray Bytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Puts `bytes` in place of the file's contents, as a disk that damaged it would.
inline bool Overwrite(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The secrets found in the file at `path`, as bytes: none should be.
inline QStringList PlainTextIn(const QString& path, const QList<QByteArray>& secrets) {
    const QByteArray bytes = Bytes(path);
    QStringList found;
    for (const QByteArray& secret : secrets) {
        if (bytes.contains(secret))
            found << QString::fromUtf8(secret) + QStringLiteral(" in ") + path;
    }
    return found;
}
