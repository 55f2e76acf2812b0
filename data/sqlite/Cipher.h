#pragma once

#include <QString>

#include <cstddef>
#include <functional>

struct sqlite3;

// The catalogue's encryption: every page of the file is enciphered and authenticated by the
// SQLite extension (AEGIS-256), under a key derived from the user's passphrase with Argon2id
// and the random salt the file's first 16 bytes hold. The key is derived once per run and
// salt: every connection opened later on a file with that salt (the catalogue, its backups,
// the copies the tools write) gets it without asking again.
namespace Cipher {

inline constexpr int kSaltBytes = 16;
inline constexpr int kKeyBytes = 32;

// Bytes kept out of swap where the system allows it, out of core dumps, and wiped when they
// go. For passphrases and keys only.
class Secret {
public:
    Secret() = default;
    // `capacity` zero bytes, of which none are in use yet.
    explicit Secret(std::size_t capacity);
    ~Secret();
    Secret(Secret&& other) noexcept;
    Secret& operator=(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    unsigned char* Data() { return bytes_; }
    const unsigned char* Data() const { return bytes_; }
    std::size_t Size() const { return size_; }
    std::size_t Capacity() const { return capacity_; }
    // Sets how many bytes are in use; at most Capacity().
    void SetSize(std::size_t size);
    // Appends, while there is room; false when there is none.
    bool Append(const void* bytes, std::size_t count);

private:
    void Free();

    unsigned char* bytes_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The passphrase's UTF-8 bytes from a text the user typed; the text is overwritten.
Secret FromText(QString* text);

// What the derivation costs: Argon2id's passes, memory in KiB and lanes.
struct Cost {
    unsigned passes;
    unsigned memoryKiB;
    unsigned lanes;
};
// The cost every catalogue is made with. It is not stored in the file: a catalogue made
// with another cost would not open.
// About half a second on a 2-core machine of 2026, once per run.
inline constexpr Cost kCatalogueCost{2, 96 * 1024, 1};
// Wipes every key this run knows: the next open of an encrypted file asks again.
void ForgetKeys();
// Test programs lower it to keep the suite fast; nothing else may.
void SetCostForTesting(Cost cost);

// Whether the file of a freshly opened handle is plain SQLite, encrypted, or empty (a
// new file); read through SQLite's own descriptor, so that no lock of the process is lost.
enum class Kind { Empty, Plain, Encrypted };
Kind Examine(sqlite3* db, unsigned char salt[kSaltBytes] = nullptr);
// The same for a file that is not open.
Kind ExamineFile(const QString& path, unsigned char salt[kSaltBytes] = nullptr);

// Whether the files at `a` and `b` open with the same key: both plain, or both encrypted
// with the same salt (a catalogue and the backups made of it since its last key change).
bool SameEncryption(const QString& a, const QString& b);

// Why a passphrase is being asked for.
enum class Ask { First, Wrong };
// Where passphrases come from: the program's dialog, a tool's terminal or descriptor. It
// fills `*passphrase` and returns true, or returns false to give up (the open then fails).
using PassphraseSource = std::function<bool(const QString& path, Ask ask, Secret* passphrase)>;
// The source for every open of an encrypted file with an unknown salt, in every thread;
// none (the default) fails such opens.
void SetPassphraseSource(PassphraseSource source);

// What an open of an encrypted file failed on, beside SQLite's own failures.
inline constexpr const char* kNoPassphrase =
    "the catalogue is encrypted and no passphrase was given";
inline constexpr const char* kWrongPassphrase = "wrong passphrase";

// Gives a freshly opened handle on `path` its key, when its file is encrypted: the key of
// its salt when this run knows it, else one derived from passphrases asked of the source
// until one opens it. Returns SQLite's code; on failure `*error` says why.
int Unlock(sqlite3* db, const QString& path, QString* error);

// Keys the empty database of `db` with `passphrase` and a fresh salt, before anything is
// written to it; the key is remembered for the run.
bool EncryptNew(sqlite3* db, const Secret& passphrase, QString* error);
// Keys the empty database of `db` as the database of `model` is keyed (the same salt and
// key), so that SQLite's online backup can copy pages from one to the other; nothing to do
// for a plain `model`.
bool KeyLike(sqlite3* db, sqlite3* model, QString* error);
// Re-enciphers the whole database of `db` in place under the key of the encrypted file at
// `model`, which this run has opened: its backups then open with the same key.
bool RekeyLike(sqlite3* db, const QString& model, QString* error);
// Re-enciphers the whole database of `db` in place: under `passphrase` with a fresh salt,
// or, with null, as plain SQLite. The caller holds the file alone.
bool Rekey(sqlite3* db, const Secret* passphrase, QString* error);

} // namespace Cipher
