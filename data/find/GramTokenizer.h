#pragma once

struct sqlite3;

namespace Find {

// The name the index's tokenizer is known by on a connection.
inline constexpr const char* kTokenizerName = "sitemora_grams";

// Registers with FTS5 on `db` the tokenizer of the find index. A text becomes every run
// of one, two and three characters in it, with A to Z folded to a to z and nothing else
// changed, so that the index answers one- and two-character queries as well as longer
// ones, Chinese included, where a word tokenizer sees one long word. A query text is one
// token as it is (folded), since the searcher only ever asks for runs of up to three
// characters. Returns an SQLite result code.
int RegisterGramTokenizer(sqlite3* db);

} // namespace Find
