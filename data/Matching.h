#pragma once

struct sqlite3;

// Puts the catalogue's own InStr on a connection, in place of SQLite's built-in instr:
// InStr(haystack, needle) gives the 1-based character position of needle in haystack,
// 0 when it is absent and NULL when either argument is NULL, like the built-in, but
// ASCII letters match regardless of case ("google" finds "Google"). Every other
// character, Chinese included, must match exactly. Returns an SQLite result code.
int RegisterMatching(sqlite3* db);
