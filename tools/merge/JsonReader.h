#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// A pull reader over a JSON text held in memory (a mapped file): the caller walks the
// document it expects, value by value, and nothing is built that it does not ask for, so
// a catalogue of any size is read in flat memory. Strings come out as UTF-8 bytes exactly
// as they were meant; the reader refuses bytes that are not UTF-8, lone surrogates,
// control characters, numbers where whole numbers are wanted, and nesting deeper than
// any export has.
class JsonReader {
public:
    explicit JsonReader(QByteArrayView text);

    qsizetype Offset() const { return at_; }
    void Seek(qsizetype offset) { at_ = offset; }

    // Each returns false on a failure, after which Error() says what and where.
    bool BeginObject();
    // Reads the next member's name and its colon. False at the closing brace (consumed)
    // or on a failure; `first` is the caller's, true on entering the object.
    bool NextMember(QByteArray* name, bool* first);
    bool BeginArray();
    // Moves to the next element. False at the closing bracket or on a failure.
    bool NextElement(bool* first);
    // A string value; `utf8` may be null to check it only.
    bool ReadString(QByteArray* utf8);
    // A string or null: a null QByteArray for null, an empty one for "".
    bool ReadTextOrNull(QByteArray* utf8);
    // A number without fraction or exponent that fits 64 bits.
    bool ReadInteger(qint64* value);
    // An integer, or null (`*isNull` set).
    bool ReadIntegerOrNull(qint64* value, bool* isNull);
    bool SkipValue();
    // True when only blanks are left.
    bool AtEnd();

    bool Failed() const { return !error_.isEmpty(); }
    QString Error() const { return error_; }
    // Stops the reader with a message about the value at `offset`.
    bool Reject(const QString& what, qsizetype offset);
    // Puts `where` (which entry, which member) before the message of a failure; false.
    bool Place(const QString& where);

private:
    char Peek();
    bool Expect(char c, const char* what);
    // Moves past the comma before the next item of an object or list; false at `close`.
    bool NextItem(char close, bool* first);
    bool SkipValueAt(int depth);
    bool ReadHex4(char32_t* unit);
    bool ReadUnicodeEscape(char32_t* code);
    bool ReadNumberText(QByteArrayView* digits, bool* whole);
    bool Literal(const char* word);

    QByteArrayView text_;
    qsizetype at_ = 0;
    QString error_;
};
