#include "BookmarkScan.h"

namespace Merge {

namespace {

// libxml2 reads at most this many characters of a name and takes the rest as the next.
constexpr qsizetype kNameLength = 100;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool IsLetter(char c) {
    return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
}
bool IsNameStart(char c) {
    return IsLetter(c) || c == '_' || c == ':' || c == '.';
}
bool IsNameChar(char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-';
}

bool StartsWithLetters(QByteArrayView text, QByteArrayView letters) {
    if (text.size() < letters.size())
        return false;
    for (qsizetype i = 0; i < letters.size(); ++i)
        if ((text[i] | 0x20) != (letters[i] | 0x20))
            return false;
    return true;
}

class Scanner {
public:
    explicit Scanner(QByteArrayView text) : text_(text) {}

    qsizetype Run() {
        while ((at_ = text_.indexOf('<', at_)) >= 0) {
            const char next = At(at_ + 1);
            if (text_.sliced(at_).startsWith("<!--")) {
                SkipPast("-->", at_ + 4);
            } else if ((next == '?' && IsNameStart(At(at_ + 2))) ||
                       (next == '!' && StartsWithLetters(text_.sliced(at_ + 2), "doctype"))) {
                // A processing instruction or the document type; another "<?" or "<!" is
                // text.
                SkipPast(">", at_ + 2);
            } else if (next == '/') {
                // "</" with no name is text to the parser, otherwise the end tag runs to ">".
                if (IsNameStart(At(at_ + 2)))
                    SkipPast(">", at_ + 2);
                else
                    at_ += 2;
            } else if (IsLetter(next) || next == '_' || next == ':') {
                const qsizetype tag = at_;
                if (!StartTag())
                    return tag;
            } else {
                ++at_;
            }
        }
        return -1;
    }

private:
    char At(qsizetype i) const { return i < text_.size() ? text_[i] : '\0'; }

    void SkipPast(QByteArrayView end, qsizetype from) {
        const qsizetype found = text_.indexOf(end, from);
        at_ = found < 0 ? text_.size() : found + end.size();
    }

    qsizetype Name(qsizetype from) const {
        qsizetype end = from;
        while (end - from < kNameLength && IsNameChar(At(end)))
            ++end;
        return end;
    }

    qsizetype SkipBlanks(qsizetype from) const {
        while (IsBlank(At(from)))
            ++from;
        return from;
    }

    // A start tag at at_: its name, then attributes as the parser takes them, a value
    // quoted only right after "=". False when it has too many.
    bool StartTag() {
        const qsizetype nameStart = at_ + 1;
        qsizetype p = Name(nameStart);
        const QByteArrayView name = text_.sliced(nameStart, p - nameStart);
        int attributes = 0;
        for (p = SkipBlanks(p);; p = SkipBlanks(p)) {
            const char c = At(p);
            if (c == '\0' || c == '>' || (c == '/' && At(p + 1) == '>'))
                break;
            if (!IsNameStart(c)) {
                while (!IsBlank(At(p)) && At(p) != '\0' && At(p) != '>' &&
                       !(At(p) == '/' && At(p + 1) == '>'))
                    ++p;
                continue;
            }
            if (++attributes > kMaxAttributes)
                return false;
            p = Name(p);
            const qsizetype equals = SkipBlanks(p);
            if (At(equals) != '=')
                continue;
            p = SkipBlanks(equals + 1);
            const char quote = At(p);
            if (quote == '"' || quote == '\'') {
                ++p;
                while (At(p) != quote && At(p) != '\0')
                    ++p;
                p += At(p) == quote ? 1 : 0;
            } else {
                while (!IsBlank(At(p)) && At(p) != '\0' && At(p) != '>')
                    ++p;
            }
        }
        at_ = p + (At(p) == '>' ? 1 : 0);
        if (At(p) == '>' && ((name.size() == 6 && StartsWithLetters(name, "script")) ||
                             (name.size() == 5 && StartsWithLetters(name, "style"))))
            SkipScript(name);
        return true;
    }

    // Script and style are raw text up to their own end tag: a "<" inside starts nothing.
    void SkipScript(QByteArrayView name) {
        for (qsizetype end = text_.indexOf("</", at_); end >= 0;
             end = text_.indexOf("</", end + 2)) {
            if (StartsWithLetters(text_.sliced(end + 2), name)) {
                at_ = end;
                return;
            }
        }
        at_ = text_.size();
    }

    QByteArrayView text_;
    qsizetype at_ = 0;
};

} // namespace

qsizetype TagWithTooManyAttributes(QByteArrayView text) {
    return Scanner(text).Run();
}

} // namespace Merge
