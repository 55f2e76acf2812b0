#include "JsonReader.h"

namespace {

// An export nests three deep (document, list, row); anything far deeper is not one, and
// stopping early keeps a hostile file from exhausting the stack.
constexpr int kMaxDepth = 32;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void AppendUtf8(QByteArray* out, char32_t code) {
    if (code < 0x80) {
        *out += char(code);
    } else if (code < 0x800) {
        *out += char(0xC0 | (code >> 6));
        *out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += char(0xE0 | (code >> 12));
        *out += char(0x80 | ((code >> 6) & 0x3F));
        *out += char(0x80 | (code & 0x3F));
    } else {
        *out += char(0xF0 | (code >> 18));
        *out += char(0x80 | ((code >> 12) & 0x3F));
        *out += char(0x80 | ((code >> 6) & 0x3F));
        *out += char(0x80 | (code & 0x3F));
    }
}

} // namespace

JsonReader::JsonReader(QByteArrayView text) : text_(text) {
    if (text_.startsWith("\xEF\xBB\xBF"))
        at_ = 3;
}

bool JsonReader::Reject(const QString& what, qsizetype offset) {
    if (!error_.isEmpty())
        return false;
    if (offset >= text_.size()) {
        error_ = QStringLiteral("the JSON text ends too early (is the file cut short?)");
        return false;
    }
    const QByteArrayView before = text_.first(offset);
    const qsizetype lineStart = before.lastIndexOf('\n') + 1;
    error_ = QStringLiteral("%1 at line %2, column %3")
                 .arg(what)
                 .arg(before.count('\n') + 1)
                 .arg(offset - lineStart + 1);
    return false;
}

bool JsonReader::Place(const QString& where) {
    if (!error_.isEmpty())
        error_ = where + QStringLiteral(": ") + error_;
    return false;
}

char JsonReader::Peek() {
    while (at_ < text_.size() && IsBlank(text_[at_]))
        ++at_;
    return at_ < text_.size() ? text_[at_] : '\0';
}

bool JsonReader::Expect(char c, const char* what) {
    if (Peek() != c)
        return Reject(QStringLiteral("expected %1").arg(QLatin1String(what)), at_);
    ++at_;
    return true;
}

bool JsonReader::AtEnd() {
    Peek();
    return at_ >= text_.size();
}

bool JsonReader::BeginObject() {
    return Expect('{', "an object");
}

bool JsonReader::BeginArray() {
    return Expect('[', "a list");
}

bool JsonReader::NextItem(char close, bool* first) {
    if (Failed())
        return false;
    if (Peek() == close) {
        ++at_;
        return false;
    }
    if (!*first && !Expect(',', close == '}' ? "',' or '}'" : "',' or ']'"))
        return false;
    *first = false;
    return true;
}

bool JsonReader::NextMember(QByteArray* name, bool* first) {
    if (!NextItem('}', first))
        return false;
    if (Peek() != '"')
        return Reject(QStringLiteral("expected a member name"), at_);
    // Offset() then tells where the value begins, for the messages about it.
    if (!ReadString(name) || !Expect(':', "':'"))
        return false;
    Peek();
    return true;
}

bool JsonReader::NextElement(bool* first) {
    if (!NextItem(']', first))
        return false;
    Peek();
    return true;
}

bool JsonReader::ReadString(QByteArray* utf8) {
    if (!Expect('"', "a string"))
        return false;
    if (utf8)
        utf8->resize(0);
    const qsizetype start = at_;
    qsizetype plainFrom = at_;
    // Bytes between escapes are copied as a run once they are known to be UTF-8; escapes
    // are ASCII, so a run never splits a character.
    auto flushRun = [&](qsizetype end) {
        const QByteArrayView run = text_.sliced(plainFrom, end - plainFrom);
        if (!run.isValidUtf8())
            return Reject(QStringLiteral("text that is not UTF-8"), start - 1);
        if (utf8)
            utf8->append(run);
        return true;
    };
    while (at_ < text_.size()) {
        const auto c = static_cast<unsigned char>(text_[at_]);
        if (c == '"') {
            if (!flushRun(at_))
                return false;
            ++at_;
            if (utf8 && utf8->isNull())
                *utf8 = QByteArray("", 0);
            return true;
        }
        if (c < 0x20)
            return Reject(QStringLiteral("a control character inside a string"), at_);
        if (c != '\\') {
            ++at_;
            continue;
        }
        if (!flushRun(at_))
            return false;
        if (at_ + 1 >= text_.size())
            break;
        const char escape = text_[at_ + 1];
        at_ += 2;
        char32_t code = 0;
        switch (escape) {
        case '"':
            code = '"';
            break;
        case '\\':
            code = '\\';
            break;
        case '/':
            code = '/';
            break;
        case 'b':
            code = '\b';
            break;
        case 'f':
            code = '\f';
            break;
        case 'n':
            code = '\n';
            break;
        case 'r':
            code = '\r';
            break;
        case 't':
            code = '\t';
            break;
        case 'u':
            if (!ReadUnicodeEscape(&code))
                return false;
            break;
        default:
            return Reject(QStringLiteral("an unknown escape"), at_ - 2);
        }
        if (utf8)
            AppendUtf8(utf8, code);
        plainFrom = at_;
    }
    return Reject(QString(), text_.size());
}

bool JsonReader::ReadHex4(char32_t* unit) {
    if (at_ + 4 > text_.size())
        return Reject(QString(), text_.size());
    *unit = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = HexValue(text_[at_ + i]);
        if (digit < 0)
            return Reject(QStringLiteral("a bad \\u escape"), at_ - 2);
        *unit = *unit * 16 + char32_t(digit);
    }
    at_ += 4;
    return true;
}

bool JsonReader::ReadUnicodeEscape(char32_t* code) {
    const qsizetype start = at_ - 2;
    if (!ReadHex4(code))
        return false;
    if (*code >= 0xDC00 && *code <= 0xDFFF)
        return Reject(QStringLiteral("a lone surrogate escape"), start);
    if (*code < 0xD800 || *code > 0xDBFF)
        return true;
    // A high surrogate is only half a character: its low half must follow.
    char32_t low = 0;
    if (!text_.sliced(at_).startsWith("\\u"))
        return Reject(QStringLiteral("a lone surrogate escape"), start);
    at_ += 2;
    if (!ReadHex4(&low))
        return false;
    if (low < 0xDC00 || low > 0xDFFF)
        return Reject(QStringLiteral("a lone surrogate escape"), start);
    *code = 0x10000 + ((*code - 0xD800) << 10) + (low - 0xDC00);
    return true;
}

bool JsonReader::ReadTextOrNull(QByteArray* utf8) {
    if (Peek() == 'n') {
        *utf8 = QByteArray();
        return Literal("null");
    }
    return ReadString(utf8);
}

bool JsonReader::Literal(const char* word) {
    const QByteArrayView rest = text_.sliced(at_);
    const QByteArrayView wanted(word);
    if (rest.startsWith(wanted)) {
        at_ += wanted.size();
        return true;
    }
    if (wanted.startsWith(rest))
        return Reject(QString(), text_.size());
    return Reject(QStringLiteral("expected a value"), at_);
}

bool JsonReader::ReadNumberText(QByteArrayView* digits, bool* whole) {
    const qsizetype start = at_;
    auto digitsFrom = [&](qsizetype from) {
        qsizetype end = from;
        while (end < text_.size() && text_[end] >= '0' && text_[end] <= '9')
            ++end;
        return end;
    };
    if (at_ < text_.size() && text_[at_] == '-')
        ++at_;
    const qsizetype intEnd = digitsFrom(at_);
    if (intEnd == at_ || (text_[at_] == '0' && intEnd - at_ > 1))
        return Reject(QStringLiteral("expected a number"), start);
    at_ = intEnd;
    *whole = true;
    if (at_ < text_.size() && text_[at_] == '.') {
        const qsizetype end = digitsFrom(at_ + 1);
        if (end == at_ + 1)
            return Reject(QStringLiteral("expected digits after '.'"), at_);
        at_ = end;
        *whole = false;
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
        qsizetype from = at_ + 1;
        if (from < text_.size() && (text_[from] == '+' || text_[from] == '-'))
            ++from;
        const qsizetype end = digitsFrom(from);
        if (end == from)
            return Reject(QStringLiteral("expected an exponent"), at_);
        at_ = end;
        *whole = false;
    }
    *digits = text_.sliced(start, at_ - start);
    return true;
}

bool JsonReader::ReadInteger(qint64* value) {
    Peek();
    const qsizetype start = at_;
    QByteArrayView digits;
    bool whole = false;
    if (!ReadNumberText(&digits, &whole))
        return false;
    bool ok = false;
    *value = whole ? digits.toLongLong(&ok) : 0;
    return ok || Reject(QStringLiteral("expected a whole number"), start);
}

bool JsonReader::ReadIntegerOrNull(qint64* value, bool* isNull) {
    *isNull = Peek() == 'n';
    if (*isNull) {
        *value = 0;
        return Literal("null");
    }
    return ReadInteger(value);
}

bool JsonReader::SkipValue() {
    return SkipValueAt(0);
}

bool JsonReader::SkipValueAt(int depth) {
    const char c = Peek();
    if ((c == '{' || c == '[') && depth >= kMaxDepth)
        return Reject(QStringLiteral("values nested more than %1 deep").arg(kMaxDepth), at_);
    bool first = true;
    switch (c) {
    case '{': {
        ++at_;
        QByteArray name;
        while (NextMember(&name, &first))
            if (!SkipValueAt(depth + 1))
                return false;
        return !Failed();
    }
    case '[':
        ++at_;
        while (NextElement(&first))
            if (!SkipValueAt(depth + 1))
                return false;
        return !Failed();
    case '"':
        return ReadString(nullptr);
    case 't':
        return Literal("true");
    case 'f':
        return Literal("false");
    case 'n':
        return Literal("null");
    case '\0':
        if (at_ >= text_.size())
            return Reject(QString(), at_);
        [[fallthrough]];
    default: {
        QByteArrayView digits;
        bool whole = false;
        return ReadNumberText(&digits, &whole);
    }
    }
}
