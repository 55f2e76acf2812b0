#include "Matching.h"

// Directly: an SQL function of our own reads its arguments through SQLite's value API.
#include <sqlite3.h>

#include <array>
#include <cstddef>

namespace {

// Only ASCII is folded: bytes of multi-byte UTF-8 characters are all 0x80 or above, so
// they pass through unchanged and a match can never start inside a character.
constexpr std::array<unsigned char, 256> MakeFoldTable() {
    std::array<unsigned char, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i - 'A' + 'a' : i);
    return table;
}

constexpr std::array<unsigned char, 256> kFold = MakeFoldTable();

std::ptrdiff_t FindBytes(const unsigned char* haystack, std::size_t haystackSize,
                         const unsigned char* needle, std::size_t needleSize) {
    if (needleSize > haystackSize)
        return -1;
    const unsigned char first = kFold[needle[0]];
    const std::size_t last = haystackSize - needleSize;
    for (std::size_t at = 0; at <= last; ++at) {
        if (kFold[haystack[at]] != first)
            continue;
        std::size_t k = 1;
        while (k < needleSize && kFold[haystack[at + k]] == kFold[needle[k]])
            ++k;
        if (k == needleSize)
            return static_cast<std::ptrdiff_t>(at);
    }
    return -1;
}

// Characters start at every byte that is not a UTF-8 continuation byte.
sqlite3_int64 CharactersBefore(const unsigned char* text, std::size_t bytes) {
    sqlite3_int64 count = 0;
    for (std::size_t i = 0; i < bytes; ++i)
        count += (text[i] & 0xC0) != 0x80;
    return count;
}

void InStr(sqlite3_context* context, int /*argc*/, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return; // the result stays NULL
    // The text pointer must be taken before the byte count, which it may change.
    const unsigned char* haystack = sqlite3_value_text(argv[0]);
    const int haystackSize = sqlite3_value_bytes(argv[0]);
    const unsigned char* needle = sqlite3_value_text(argv[1]);
    const int needleSize = sqlite3_value_bytes(argv[1]);
    if (!haystack || !needle) {
        sqlite3_result_error_nomem(context);
        return;
    }
    if (needleSize == 0) {
        sqlite3_result_int64(context, 1);
        return;
    }
    const std::ptrdiff_t at = FindBytes(haystack, static_cast<std::size_t>(haystackSize), needle,
                                        static_cast<std::size_t>(needleSize));
    sqlite3_result_int64(context,
                         at < 0 ? 0 : CharactersBefore(haystack, static_cast<std::size_t>(at)) + 1);
}

} // namespace

std::ptrdiff_t FindFolded(std::string_view haystack, std::string_view needle) {
    if (needle.empty())
        return 0;
    return FindBytes(reinterpret_cast<const unsigned char*>(haystack.data()), haystack.size(),
                     reinterpret_cast<const unsigned char*>(needle.data()), needle.size());
}

int RegisterMatching(sqlite3* db) {
    // SQLite looks function names up regardless of case, so this also replaces instr.
    return sqlite3_create_function_v2(db, "InStr", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                      &InStr, nullptr, nullptr, nullptr);
}
