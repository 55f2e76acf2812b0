#pragma once

#include <cstddef>
#include <string_view>

struct sqlite3;

// Byte offset of the first occurrence of `needle` in `haystack` (both UTF-8) with ASCII
// letters matched regardless of case and every other character exactly, or -1. The rule
// of InStr below, for callers that hold the texts themselves.
std::ptrdiff_t FindFolded(std::string_view haystack, std::string_view needle);

// The one folding that rule makes: A to Z to a to z, every other byte as it is.
constexpr char FoldAsciiLetter(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Puts the catalogue's own InStr on a connection, in place of SQLite's built-in instr:
// InStr(haystack, needle) gives the 1-based character position of needle in haystack,
// 0 when it is absent and NULL when either argument is NULL, like the built-in, but
// ASCII letters match regardless of case ("google" finds "Google"). Every other
// character, Chinese included, must match exactly. Returns an SQLite result code.
int RegisterMatching(sqlite3* db);
