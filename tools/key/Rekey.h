#pragma once

#include "Cipher.h"

#include <QString>

#include <functional>

// Changing a catalogue's encryption in place, all or nothing: the file is copied beside
// itself, the copy re-enciphered and checked, then moved over the catalogue in one step
// while no other program writes to it. Killed at any moment, it leaves the catalogue as it
// was or as it was meant to be, never a mix; the copy it leaves is removed by its next run.
namespace Rekey {

enum class Verb { Encrypt, Change, Decrypt };

// Re-enciphers `path` in place. `newPassphrase` is asked for once the current one (if any)
// has opened the file; it is not asked for Decrypt. A running copy of the program on the
// catalogue (`copies` is its lock file) makes it refuse.
bool File(const QString& path, const QString& copies, Verb verb,
          const std::function<bool(Cipher::Secret*, QString*)>& newPassphrase, QString* error);

// Re-enciphers the plain backup at `path` under the key of the encrypted catalogue `model`.
bool LikeCatalogue(const QString& path, const QString& model, QString* error);

// Removes the copies that a run killed halfway left beside `path`.
void RemoveLeftovers(const QString& path);

} // namespace Rekey
