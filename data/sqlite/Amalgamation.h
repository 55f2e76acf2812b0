#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Argon2id (RFC 9106) of `secret` with `salt` into `keyLength` bytes at `key`: 0 when done. */
int SitemoraArgon2id(unsigned timeCost, unsigned memoryKiB, unsigned lanes, const void* secret,
                     size_t secretLength, const void* salt, size_t saltLength, void* key,
                     size_t keyLength);

/* The main file of `db` as the operating system holds it, beneath the encryption: reading
 * it gives the bytes on disk. NULL when `db` has no file. */
struct sqlite3;
struct sqlite3_file;
struct sqlite3_file* SitemoraDiskFile(struct sqlite3* db);

#ifdef __cplusplus
}
#endif
