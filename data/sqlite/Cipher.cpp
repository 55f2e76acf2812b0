#include "Cipher.h"

#include "Amalgamation.h"
#include "Sqlite.h"

#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <unistd.h>

namespace Cipher {
namespace {

constexpr char kPlainHeader[] = "SQLite format 3"; // and its terminating zero: 16 bytes
constexpr int kAegis256 = 4;                       // the extension's number for AEGIS-256
constexpr char kRawPrefix[] = "raw:";

std::size_t PageRounded(std::size_t size) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

using Salt = std::array<unsigned char, kSaltBytes>;

// The keys this run derived, by salt. They live until the process ends: the start-up backup
// and every connection opened later need them.
struct Keyring {
    struct Known {
        Salt salt;
        Secret key;
    };
    std::mutex mutex;
    std::vector<Known> known;
    PassphraseSource source;
    Cost cost = kCatalogueCost;
};

Keyring& Ring() {
    static Keyring ring;
    return ring;
}

// A copy of the key of `salt` in `*key`, when this run knows it.
bool FindKey(const Salt& salt, Secret* key) {
    Keyring& ring = Ring();
    const std::lock_guard lock(ring.mutex);
    for (const Keyring::Known& known : ring.known) {
        if (known.salt == salt) {
            *key = Secret(known.key.Size());
            key->Append(known.key.Data(), known.key.Size());
            return true;
        }
    }
    return false;
}

void Remember(const Salt& salt, const Secret& key) {
    Secret copy(key.Size());
    copy.Append(key.Data(), key.Size());
    Keyring& ring = Ring();
    const std::lock_guard lock(ring.mutex);
    ring.known.push_back({salt, std::move(copy)});
}

bool Derive(const Secret& passphrase, const Salt& salt, Secret* key, QString* error) {
    // Whatever happens from here on, no core dump may carry the key or the passphrase.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    Cost cost;
    {
        const std::lock_guard lock(Ring().mutex);
        cost = Ring().cost;
    }
    *key = Secret(kKeyBytes);
    key->SetSize(kKeyBytes);
    if (SitemoraArgon2id(cost.passes, cost.memoryKiB, cost.lanes, passphrase.Data(),
                         passphrase.Size(), salt.data(), salt.size(), key->Data(),
                         key->Size()) != 0) {
        if (error)
            *error = QStringLiteral("the key could not be derived (out of memory?)");
        return false;
    }
    return true;
}

bool NewSalt(Salt* salt, QString* error) {
    if (getrandom(salt->data(), salt->size(), 0) == static_cast<ssize_t>(salt->size()))
        return true;
    if (error)
        *error = QStringLiteral("no random bytes for the salt: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

// Hands `key` (and, for a file that gets a new salt, `salt`) to the extension as a raw key,
// so that it derives nothing itself and a passphrase never reaches it.
int ApplyKey(sqlite3* db, const Secret& key, const Salt* salt, bool rekey) {
    sqlite3mc_config(db, "cipher", sqlite3mc_cipher_index("aegis"));
    sqlite3mc_config_cipher(db, "aegis", "algorithm", kAegis256);
    sqlite3mc_config_cipher(db, "aegis", "plaintext_header_size", 0);
    Secret raw(sizeof kRawPrefix + kKeyBytes + kSaltBytes);
    raw.Append(kRawPrefix, std::strlen(kRawPrefix));
    raw.Append(key.Data(), key.Size());
    if (salt)
        raw.Append(salt->data(), salt->size());
    const int size = static_cast<int>(raw.Size());
    return rekey ? sqlite3_rekey_v2(db, "main", raw.Data(), size)
                 : sqlite3_key_v2(db, "main", raw.Data(), size);
}

// Whether `key` opens the file at `path`: SQLITE_NOTADB when it does not.
int Probe(const QString& path, const Secret& key, QString* error) {
    Sqlite::Database probe;
    int rc = probe.OpenUnkeyed(path, SQLITE_OPEN_READONLY, error, Sqlite::kBusyTimeoutMs);
    if (rc != SQLITE_OK)
        return rc;
    rc = ApplyKey(probe.Get(), key, nullptr, false);
    if (rc == SQLITE_OK) {
        Sqlite::Statement read(probe.Get(), "SELECT count(*) FROM sqlite_schema");
        if (!read.Next())
            rc = Sqlite::LastCode(probe.Get());
    }
    if (rc != SQLITE_OK && error)
        *error = Sqlite::LastError(probe.Get());
    return rc;
}

// Keys (or, with `rekey`, re-enciphers) `db` with the key this run derived for `salt`;
// `unknown` says why when it has none.
bool KeyOfSalt(sqlite3* db, const Salt& salt, bool rekey, const QString& unknown, QString* error) {
    Secret key;
    if (!FindKey(salt, &key)) {
        if (error)
            *error = unknown;
        return false;
    }
    if (ApplyKey(db, key, &salt, rekey) == SQLITE_OK)
        return true;
    if (error)
        *error = Sqlite::LastError(db);
    return false;
}

} // namespace

Secret::Secret(std::size_t capacity) : capacity_(capacity) {
    if (capacity == 0)
        return;
    const std::size_t mapped = PageRounded(capacity);
    void* bytes = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (bytes == MAP_FAILED)
        throw std::bad_alloc();
    // Best effort both: a system that refuses still gets the bytes wiped.
    mlock(bytes, mapped);
    madvise(bytes, mapped, MADV_DONTDUMP);
    bytes_ = static_cast<unsigned char*>(bytes);
}

Secret::~Secret() {
    Free();
}

Secret::Secret(Secret&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        Free();
        bytes_ = std::exchange(other.bytes_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

void Secret::SetSize(std::size_t size) {
    size_ = std::min(size, capacity_);
}

bool Secret::Append(const void* bytes, std::size_t count) {
    if (count == 0)
        return true;
    if (count > capacity_ - size_)
        return false;
    std::memcpy(bytes_ + size_, bytes, count);
    size_ += count;
    return true;
}

void Secret::Free() {
    if (!bytes_)
        return;
    const std::size_t mapped = PageRounded(capacity_);
    explicit_bzero(bytes_, mapped);
    munlock(bytes_, mapped);
    munmap(bytes_, mapped);
    bytes_ = nullptr;
    size_ = capacity_ = 0;
}

Secret FromText(QString* text) {
    QByteArray utf8 = text->toUtf8();
    Secret secret(static_cast<std::size_t>(utf8.size()));
    secret.Append(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    explicit_bzero(utf8.data(), static_cast<std::size_t>(utf8.size()));
    text->fill(QChar(u'\0'));
    text->clear();
    return secret;
}

void ForgetKeys() {
    const std::lock_guard lock(Ring().mutex);
    Ring().known.clear();
}

void SetCostForTesting(Cost cost) {
    const std::lock_guard lock(Ring().mutex);
    Ring().cost = cost;
}

Kind Examine(sqlite3* db, unsigned char salt[kSaltBytes]) {
    // The encryption layer would decipher what it reads; the salt is on disk as it is.
    sqlite3_file* file = SitemoraDiskFile(db);
    if (!file)
        return Kind::Plain;
    sqlite3_int64 size = 0;
    if (file->pMethods->xFileSize(file, &size) != SQLITE_OK)
        return Kind::Plain;
    if (size == 0)
        return Kind::Empty;
    unsigned char head[kSaltBytes] = {};
    if (file->pMethods->xRead(file, head, kSaltBytes, 0) != SQLITE_OK ||
        std::memcmp(head, kPlainHeader, kSaltBytes) == 0)
        return Kind::Plain;
    // An encrypted file is whole pages and begins with a random salt; anything else (a
    // first page a disk error wiped, say) is no catalogue, for SQLite to refuse as damaged.
    static constexpr unsigned char kWiped[kSaltBytes] = {};
    if (size < 512 || size % 512 != 0 || std::memcmp(head, kWiped, kSaltBytes) == 0)
        return Kind::Plain;
    if (salt)
        std::memcpy(salt, head, kSaltBytes);
    return Kind::Encrypted;
}

Kind ExamineFile(const QString& path, unsigned char salt[kSaltBytes]) {
    // A FIFO would block the open for ever; anything but a regular file is no catalogue.
    if (!QFileInfo(path).isFile())
        return Kind::Plain;
    Sqlite::Database db;
    if (db.OpenUnkeyed(path, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        return Kind::Plain;
    return Examine(db.Get(), salt);
}

bool SameEncryption(const QString& a, const QString& b) {
    Salt saltA{};
    Salt saltB{};
    const Kind kindA = ExamineFile(a, saltA.data());
    const Kind kindB = ExamineFile(b, saltB.data());
    if (kindA == Kind::Encrypted || kindB == Kind::Encrypted)
        return kindA == kindB && saltA == saltB;
    return true;
}

void SetPassphraseSource(PassphraseSource source) {
    const std::lock_guard lock(Ring().mutex);
    Ring().source = std::move(source);
}

int Unlock(sqlite3* db, const QString& path, QString* error) {
    Salt salt;
    if (Examine(db, salt.data()) != Kind::Encrypted)
        return SQLITE_OK;
    Secret key;
    if (!FindKey(salt, &key)) {
        PassphraseSource source;
        {
            const std::lock_guard lock(Ring().mutex);
            source = Ring().source;
        }
        for (Ask ask = Ask::First;; ask = Ask::Wrong) {
            Secret passphrase;
            if (!source || !source(path, ask, &passphrase)) {
                if (error)
                    *error =
                        QString::fromLatin1(ask == Ask::First ? kNoPassphrase : kWrongPassphrase);
                return SQLITE_AUTH;
            }
            if (!Derive(passphrase, salt, &key, error))
                return SQLITE_NOMEM;
            const int rc = Probe(path, key, error);
            if (rc == SQLITE_OK)
                break;
            if ((rc & 0xff) != SQLITE_NOTADB)
                return rc;
        }
        Remember(salt, key);
    }
    const int rc = ApplyKey(db, key, nullptr, false);
    if (rc != SQLITE_OK && error)
        *error = Sqlite::LastError(db);
    return rc;
}

bool EncryptNew(sqlite3* db, const Secret& passphrase, QString* error) {
    Salt salt;
    Secret key;
    if (!NewSalt(&salt, error) || !Derive(passphrase, salt, &key, error))
        return false;
    if (ApplyKey(db, key, &salt, false) != SQLITE_OK) {
        if (error)
            *error = Sqlite::LastError(db);
        return false;
    }
    Remember(salt, key);
    return true;
}

bool KeyLike(sqlite3* db, sqlite3* model, QString* error) {
    Salt salt;
    if (Examine(model, salt.data()) != Kind::Encrypted)
        return true;
    return KeyOfSalt(db, salt, false, QString::fromLatin1(kNoPassphrase), error);
}

bool RekeyLike(sqlite3* db, const QString& model, QString* error) {
    Salt salt;
    const bool encrypted = ExamineFile(model, salt.data()) == Kind::Encrypted;
    return KeyOfSalt(db, encrypted ? salt : Salt{}, true,
                     QStringLiteral("%1 is not an encrypted file this run has opened").arg(model),
                     error);
}

bool Rekey(sqlite3* db, const Secret* passphrase, QString* error) {
    int rc = SQLITE_OK;
    if (!passphrase) {
        rc = sqlite3_rekey_v2(db, "main", nullptr, 0);
    } else {
        Salt salt;
        Secret key;
        if (!NewSalt(&salt, error) || !Derive(*passphrase, salt, &key, error))
            return false;
        rc = ApplyKey(db, key, &salt, true);
        if (rc == SQLITE_OK)
            Remember(salt, key);
    }
    if (rc != SQLITE_OK && error)
        *error = Sqlite::LastError(db);
    return rc == SQLITE_OK;
}

} // namespace Cipher
