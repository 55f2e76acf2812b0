#include "Address.h"
#include "BookmarkScan.h"
#include "Connection.h"
#include "Mergers.h"
#include "Sqlite.h"
#include "Transfer.h"

#include <QList>
#include <QSet>
#include <QStringList>

#include <libxml/HTMLparser.h>
#include <limits>

namespace Merge {

namespace {

// Folders, counted in lists (<DL>): real bookmark files nest a few; a file nested this deep
// is not one.
constexpr int kMaxDepth = 256;

// Browsers write no </DT>, so the parser nests each bookmark of a folder in the one before,
// and a folder of 20,000 bookmarks is 20,000 deep in its tree. That is harmless, but an end
// tag that closes nothing makes it search the whole depth, and a hostile file of such tags
// would take hours. The parser reports each one; their searches together may take this
// many steps, a second or so, which real files, with few such tags, never come near.
constexpr qint64 kMaxMisplacedWork = 500'000'000;

struct Bookmark {
    QString title;
    QString address;
    QString folders;
    QString description;
};

// Follows the parser's events through the shapes browsers write: a folder is an <H3>
// followed by the <DL> that holds its entries; a bookmark is an <A HREF>; an <DD> right
// after a bookmark is its description. Where the parser puts the <DL> (inside the <DT> or
// beside it) does not matter, only the order of the events.
class BookmarkCollector {
public:
    explicit BookmarkCollector(htmlParserCtxtPtr parser) : parser_(parser) {}

    QList<Bookmark> bookmarks;
    bool declared = false; // the bookmark file's document type
    bool sawList = false;
    bool rootClosed = false;
    bool tooDeep = false;
    bool tangled = false;

    void Start(const char* name, const xmlChar** attributes) {
        const QByteArrayView tag(name);
        if (tag == "dl") {
            if (folders_.size() >= kMaxDepth) {
                tooDeep = true;
                xmlStopParser(parser_);
                return;
            }
            sawList = true;
            folders_.append(pendingFolder_);
            pendingFolder_.clear();
            describing_ = false;
        } else if (tag == "h3") {
            collecting_ = &folderName_;
            folderName_.clear();
            describing_ = false;
        } else if (tag == "a") {
            bookmarks.append({QString(), Attribute(attributes, "href"), FolderPath(), QString()});
            collecting_ = &bookmarks.last().title;
            pendingFolder_.clear();
            describing_ = false;
        } else if (tag == "dd" && describing_) {
            collecting_ = &bookmarks.last().description;
        } else if (tag == "dt") {
            describing_ = false;
        }
    }

    void End(const char* name) {
        const QByteArrayView tag(name);
        if (tag == "h3") {
            pendingFolder_ = folderName_.trimmed();
            collecting_ = nullptr;
        } else if (tag == "a") {
            collecting_ = nullptr;
            describing_ = true;
        } else if (tag == "dd") {
            collecting_ = nullptr;
            describing_ = false;
        } else if (tag == "dl" && !folders_.isEmpty()) {
            folders_.removeLast();
            describing_ = false;
            const qsizetype at = parser_->input->cur - parser_->input->base;
            // The parser closes every open list at the end of the text; only the file's
            // own </DL> for the outermost list shows that it was written to the end.
            if (folders_.isEmpty() && at != lastListEnd_ && EndsWithListCloseTag())
                rootClosed = true;
            lastListEnd_ = at;
        }
    }

    void Text(const xmlChar* text, int length) {
        if (collecting_)
            collecting_->append(
                Transfer::FromUtf8(QByteArrayView(reinterpret_cast<const char*>(text), length)));
    }

    // Each problem the parser reports after searching its open elements for an end tag's
    // own, or for a misplaced <BODY>, costs it the depth it searched.
    void Problem() {
        misplacedWork_ += parser_->nameNr;
        if (misplacedWork_ > kMaxMisplacedWork && !tangled) {
            tangled = true;
            xmlStopParser(parser_);
        }
    }

private:
    static QString Attribute(const xmlChar** attributes, const char* wanted) {
        for (int i = 0; attributes && attributes[i]; i += 2)
            if (QByteArrayView(reinterpret_cast<const char*>(attributes[i])) == wanted)
                return attributes[i + 1]
                           ? Transfer::FromUtf8(reinterpret_cast<const char*>(attributes[i + 1]))
                           : QString();
        return {};
    }

    QString FolderPath() const {
        QStringList named;
        for (const QString& folder : folders_)
            if (!folder.isEmpty())
                named << folder;
        return named.join(QStringLiteral(" / "));
    }

    bool EndsWithListCloseTag() const {
        const xmlChar* base = parser_->input->base;
        const xmlChar* p = parser_->input->cur;
        if (p - base < 5 || p[-1] != '>')
            return false;
        p -= 2;
        while (p > base && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            --p;
        return p - base >= 3 && (p[0] | 0x20) == 'l' && (p[-1] | 0x20) == 'd' && p[-2] == '/' &&
               p[-3] == '<';
    }

    htmlParserCtxtPtr parser_;
    qint64 misplacedWork_ = 0;
    QStringList folders_;
    QString pendingFolder_;
    QString folderName_;
    QString* collecting_ = nullptr;
    bool describing_ = false;
    qsizetype lastListEnd_ = -1;
};

BookmarkCollector* CollectorOf(void* context) {
    return static_cast<BookmarkCollector*>(static_cast<htmlParserCtxtPtr>(context)->_private);
}

void OnStart(void* context, const xmlChar* name, const xmlChar** attributes) {
    CollectorOf(context)->Start(reinterpret_cast<const char*>(name), attributes);
}

void OnEnd(void* context, const xmlChar* name) {
    CollectorOf(context)->End(reinterpret_cast<const char*>(name));
}

void OnText(void* context, const xmlChar* text, int length) {
    CollectorOf(context)->Text(text, length);
}

void OnProblem(void* context, xmlErrorPtr) {
    CollectorOf(context)->Problem();
}

void OnDocumentType(void* context, const xmlChar* name, const xmlChar*, const xmlChar*) {
    CollectorOf(context)->declared =
        name && QLatin1StringView(reinterpret_cast<const char*>(name))
                    .startsWith(QLatin1StringView("NETSCAPE-Bookmark-file"), Qt::CaseInsensitive);
}

// Parses with libxml2's HTML parser, made for tag soup, through its event interface: no
// tree is built, and the folders' depth is checked as the parser goes.
bool Parse(QByteArrayView text, QList<Bookmark>* bookmarks, QString* error) {
    if (!text.isValidUtf8()) {
        *error = QStringLiteral("not UTF-8 text; browsers write bookmark files in UTF-8");
        return false;
    }
    if (text.size() > std::numeric_limits<int>::max()) {
        *error = QStringLiteral("too large for a bookmark file");
        return false;
    }
    if (const qsizetype tag = TagWithTooManyAttributes(text); tag >= 0) {
        *error =
            QStringLiteral("a tag with more than %1 attributes on line %2; not a bookmark file")
                .arg(kMaxAttributes)
                .arg(text.first(tag).count('\n') + 1);
        return false;
    }
    htmlParserCtxtPtr parser = htmlNewParserCtxt();
    if (!parser) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    BookmarkCollector collector(parser);
    *parser->sax = htmlSAXHandler{};
    parser->sax->startElement = OnStart;
    parser->sax->endElement = OnEnd;
    parser->sax->characters = OnText;
    parser->sax->ignorableWhitespace = OnText;
    parser->sax->internalSubset = OnDocumentType;
    // Problems reach a structured handler only in a handler marked as SAX2's; the HTML
    // parser still calls startElement, not the namespace events.
    parser->sax->initialized = XML_SAX2_MAGIC;
    parser->sax->serror = OnProblem;
    parser->_private = &collector;
    // The text was checked to be UTF-8, so a charset the file declares is not believed.
    htmlCtxtReadMemory(parser, text.data(), int(text.size()), nullptr, "UTF-8",
                       HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET |
                           HTML_PARSE_RECOVER | HTML_PARSE_IGNORE_ENC);
    htmlFreeParserCtxt(parser);
    if (collector.tooDeep)
        *error =
            QStringLiteral("folders nested more than %1 deep; not a bookmark file").arg(kMaxDepth);
    else if (collector.tangled)
        *error = QStringLiteral("too many misplaced tags; not a bookmark file");
    else if (!collector.declared && !collector.sawList)
        *error = QStringLiteral("neither a Sitemora JSON export nor a bookmark file");
    else if (!collector.sawList)
        *error = QStringLiteral("the bookmark list is missing (is the file cut short?)");
    else if (!collector.rootClosed)
        *error = QStringLiteral("the bookmark list is not closed (is the file cut short?)");
    else
        *bookmarks = std::move(collector.bookmarks);
    return error->isEmpty();
}

// Of `wanted`, the addresses the catalogue already holds, the sub-pages' included, as
// typed or as a browser was given them, so that a site's own bookmark export is known when
// it comes back. Only the bookmarks' addresses are kept in memory: a catalogue holds many
// more addresses than a bookmark file.
bool KnownAddresses(sqlite3* db, const QSet<QString>& wanted, QSet<QString>* known,
                    QString* error) {
    QByteArray sql = "SELECT WebUrl";
    for (int n = 1; n <= 8; ++n)
        sql += ", WebSonPage" + QByteArray::number(n);
    sql += " FROM Web";
    Sqlite::Statement addresses(db, sql.constData());
    while (addresses.Next())
        for (int c = 0; c <= 8; ++c) {
            const QByteArrayView bytes = addresses.View(c);
            if (bytes.isEmpty())
                continue;
            const QString typed = Transfer::FromUtf8(bytes).trimmed();
            for (const QString& address : {typed, Transfer::BrowserAddress(typed)})
                if (!address.isEmpty() && wanted.contains(address))
                    known->insert(address);
        }
    if (addresses.Failed())
        *error = Sqlite::LastError(db);
    return !addresses.Failed();
}

} // namespace

bool MergeBookmarks(Connection& connection, QByteArrayView text, Summary* summary, QString* error) {
    sqlite3* db = connection.Handle();
    QList<Bookmark> bookmarks;
    if (!Parse(text, &bookmarks, error))
        return false;
    QSet<QString> wanted;
    for (const Bookmark& bookmark : bookmarks)
        wanted.insert(bookmark.address.trimmed());
    Transaction transaction(connection);
    QSet<QString> known;
    if (!transaction.Begin(error) || !KnownAddresses(db, wanted, &known, error))
        return false;
    Sqlite::Statement site(db, "INSERT INTO Web (WebName, WebUrl) VALUES (?, ?)");
    Sqlite::Statement paragraph(db, "INSERT INTO Content (ContentWeb, ContentTxt) VALUES (?, ?)");
    bool ok = true;
    for (auto bookmark = bookmarks.cbegin(); ok && bookmark != bookmarks.cend(); ++bookmark) {
        const QString address = bookmark->address.trimmed();
        if (!Transfer::IsPageScheme(Address::SchemeOf(address))) {
            ++summary->notPages;
            continue;
        }
        if (known.contains(address)) {
            ++summary->known;
            continue;
        }
        known.insert(address);
        const QString title = bookmark->title.trimmed();
        ok = site.BindText(1, (title.isEmpty() ? address : title).toUtf8()) &&
             site.BindText(2, address.toUtf8()) && site.Run();
        if (!ok)
            break;
        ++summary->sites;
        ok = paragraph.BindInteger(1, Sqlite::LastInsertKey(db));
        for (const QString& text : {bookmark->folders, bookmark->description.trimmed()}) {
            if (text.isEmpty())
                continue;
            ok = ok && paragraph.BindText(2, text.toUtf8()) && paragraph.Run();
            summary->paragraphs += ok ? 1 : 0;
        }
    }
    if (!ok) {
        *error = Sqlite::LastError(db);
        return false;
    }
    return transaction.Commit(error);
}

} // namespace Merge
