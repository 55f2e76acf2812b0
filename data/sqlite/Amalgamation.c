/* SQLite and its encryption extension, compiled as one unit, with the one piece of the
 * extension the catalogue's key needs from outside: its Argon2id, which the extension keeps
 * private to this unit. The key is derived here once per run and then handed to SQLite as a
 * raw key, so that opening a second connection costs no second derivation. */
#include "sqlite3.c"

#include "Amalgamation.h"

int SitemoraArgon2id(unsigned timeCost, unsigned memoryKiB, unsigned lanes, const void* secret,
                     size_t secretLength, const void* salt, size_t saltLength, void* key,
                     size_t keyLength)
{
    return argon2id_hash_raw(timeCost, memoryKiB, lanes, secret, secretLength, salt, saltLength,
                             key, keyLength) == ARGON2_OK
               ? 0
               : 1;
}

/* The operating system's file beneath the extension's layer: its bytes as they are on disk,
 * which a copy of an encrypted file must take, where the layer would hand out deciphered
 * pages. */
sqlite3_file* SitemoraDiskFile(sqlite3* db)
{
    sqlite3_file* file = NULL;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
        !file->pMethods)
        return NULL;
    if (file->pMethods == &mcIoMethodsGlobal1 || file->pMethods == &mcIoMethodsGlobal2 ||
        file->pMethods == &mcIoMethodsGlobal3)
        file = REALFILE(file);
    return file && file->pMethods ? file : NULL;
}
