#include "GramTokenizer.h"

#include "Matching.h"

// Directly: a tokenizer is registered through FTS5's C interface.
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

namespace Find {

namespace {

// Runs longer than this are never asked for: a longer word is asked for as its runs of three.
constexpr size_t kLongestRun = 3;

// One instance serves every index table; it holds nothing.
int Create(void*, const char**, int, Fts5Tokenizer** tokenizer) {
    static int instance = 0;
    *tokenizer = reinterpret_cast<Fts5Tokenizer*>(&instance);
    return SQLITE_OK;
}

void Delete(Fts5Tokenizer*) {}

int CharacterBytes(unsigned char lead) {
    if (lead < 0xC0)
        return 1;
    if (lead < 0xE0)
        return 2;
    return lead < 0xF0 ? 3 : 4;
}

int Tokenize(Fts5Tokenizer*, void* context, int flags, const char* text, int bytes,
             int (*token)(void*, int, const char*, int, int, int)) {
    std::string folded(text, static_cast<size_t>(bytes));
    for (char& c : folded)
        c = FoldAsciiLetter(c);
    if (flags & FTS5_TOKENIZE_QUERY)
        return bytes > 0 ? token(context, 0, folded.data(), bytes, 0, bytes) : SQLITE_OK;
    // Where each character starts; a cut multi-byte character counts as its bytes.
    std::vector<int> starts;
    for (int at = 0; at < bytes;) {
        starts.push_back(at);
        at += CharacterBytes(static_cast<unsigned char>(folded[static_cast<size_t>(at)]));
    }
    starts.push_back(bytes);
    const size_t characters = starts.size() - 1;
    for (size_t i = 0; i < characters; ++i) {
        for (size_t run = 1; run <= kLongestRun && i + run <= characters; ++run) {
            const int from = starts[i];
            const int to = std::min(starts[i + run], bytes);
            if (const int rc = token(context, 0, folded.data() + from, to - from, from, to);
                rc != SQLITE_OK)
                return rc;
        }
    }
    return SQLITE_OK;
}

fts5_api* Fts5(sqlite3* db) {
    fts5_api* api = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_bind_pointer(statement, 1, &api, "fts5_api_ptr", nullptr) == SQLITE_OK)
        sqlite3_step(statement);
    sqlite3_finalize(statement);
    return api;
}

} // namespace

int RegisterGramTokenizer(sqlite3* db) {
    fts5_api* api = Fts5(db);
    if (!api)
        return SQLITE_ERROR;
    static fts5_tokenizer tokenizer{&Create, &Delete, &Tokenize};
    return api->xCreateTokenizer(api, kTokenizerName, nullptr, &tokenizer, nullptr);
}

} // namespace Find
