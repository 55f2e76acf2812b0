#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

// What the first bytes of a Jet file and its text values look like, known without libmdb.
namespace Legacy {

constexpr int kJet3PageSize = 2048;
constexpr int kJet4PageSize = 4096;

enum class Format { NotJet, Jet3, Jet4, Newer };

// Looks at the file header only. `detail` explains a NotJet or Newer answer.
Format Sniff(const QString& path, QString* detail);

// Turns the bytes of a Jet 4 text value (UTF-16LE, possibly in the compressed form
// that starts with FF FE) into UTF-8. Fails when the last character is cut in half.
bool DecodeJet4Text(const unsigned char* bytes, std::size_t size, QByteArray* utf8);

} // namespace Legacy
