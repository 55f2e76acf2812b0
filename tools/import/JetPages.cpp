#include "JetPages.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

namespace Legacy {

namespace {

constexpr int kOffsetMask = 0x1fff;
constexpr unsigned char kDataPage = 0x01;
constexpr unsigned char kDefinitionPage = 0x02;
constexpr std::size_t kLongTextHeader = 12;
constexpr std::uint32_t kInline = 0x80000000;
constexpr std::uint32_t kOnePage = 0x40000000;
constexpr std::uint32_t kLengthMask = 0x3fffffff;
constexpr std::size_t kChainLink = 4; // each page of a long chain starts with the next one

} // namespace

bool PageReader::Open(const QString& path, int pageSize, QString* error) {
    file_.setFileName(path);
    if (!file_.open(QIODevice::ReadOnly)) {
        *error = file_.errorString();
        return false;
    }
    pageSize_ = pageSize;
    pageCount_ = std::uint32_t(
        std::min<qint64>(file_.size() / pageSize, std::numeric_limits<std::uint32_t>::max()));
    return true;
}

bool PageReader::Read(std::uint32_t number, Page* page, QString* why) const {
    if (number >= pageCount_) {
        *why = QStringLiteral("page %1 lies past the end of the file (%2 pages); the file is "
                              "truncated")
                   .arg(number)
                   .arg(pageCount_);
        return false;
    }
    page->resize(std::size_t(pageSize_));
    if (!file_.seek(qint64(number) * pageSize_) ||
        file_.read(reinterpret_cast<char*>(page->data()), pageSize_) != pageSize_) {
        *why = QStringLiteral("page %1 cannot be read: %2").arg(number).arg(file_.errorString());
        return false;
    }
    return true;
}

bool RowBounds(const unsigned char* page, int pageSize, int rowCountOffset, int row, int* start,
               std::size_t* size) {
    const int rco = rowCountOffset;
    if (rco + 2 > pageSize)
        return false;
    const int rows = U16(page + rco);
    const int tableEnd = rco + 2 + rows * 2;
    if (row < 0 || row >= rows || tableEnd > pageSize)
        return false;
    const int first = U16(page + rco + 2 + std::ptrdiff_t(row) * 2) & kOffsetMask;
    const int next = row == 0 ? pageSize : U16(page + rco + std::ptrdiff_t(row) * 2) & kOffsetMask;
    if (first < tableEnd || first >= next || next > pageSize)
        return false;
    *start = first;
    *size = std::size_t(next - first);
    return true;
}

bool ReadDefinition(const PageReader& pages, std::uint32_t first, int tableRowsOffset,
                    int columnCountOffset, DefinitionHeader* header, QString* why) {
    Page page;
    std::unordered_set<std::uint32_t> seen;
    for (std::uint32_t number = first; number != 0; number = U32(page.data() + 4)) {
        if (!seen.insert(number).second) {
            *why = QStringLiteral("its pages come back to page %1").arg(number);
            return false;
        }
        if (!pages.Read(number, &page, why))
            return false;
        if (page[0] != kDefinitionPage) {
            *why = QStringLiteral("page %1 does not hold a table definition").arg(number);
            return false;
        }
        if (number != first)
            continue;
        // Three counts precede one another: columns ever numbered, variable-length
        // slots, columns described.
        header->maxColumns = U16(page.data() + columnCountOffset - 4);
        header->varColumns = U16(page.data() + columnCountOffset - 2);
        header->columnCount = U16(page.data() + columnCountOffset);
        // The counter follows the row count.
        const auto last = std::int32_t(U32(page.data() + tableRowsOffset + 4));
        header->lastKey = last > 0 ? last : 0;
    }
    return true;
}

bool ReadLongText(const PageReader& pages, int rowCountOffset, const unsigned char* field,
                  std::size_t size, QByteArray* out, QString* why) {
    out->clear();
    if (size == 0)
        return true;
    auto fail = [why](const QString& what) {
        *why = QStringLiteral("its long text cannot be read: ") + what;
        return false;
    };
    if (size < kLongTextHeader)
        return fail(QStringLiteral("its header is cut short"));
    const std::uint32_t flags = U32(field);
    const std::size_t length = flags & kLengthMask;
    if (flags & kInline) {
        if (length != size - kLongTextHeader)
            return fail(QStringLiteral("it states %1 bytes but the row holds %2")
                            .arg(length)
                            .arg(size - kLongTextHeader));
        out->append(reinterpret_cast<const char*>(field + kLongTextHeader), qsizetype(length));
        return true;
    }
    if (size != kLongTextHeader)
        return fail(
            QStringLiteral("its header has %1 bytes instead of %2").arg(size).arg(kLongTextHeader));
    // Checked before anything is allocated: one damaged length must not make the
    // import ask for a gigabyte.
    if (qint64(length) > pages.FileSize())
        return fail(QStringLiteral("it states %1 bytes, more than the whole file holds (%2)")
                        .arg(length)
                        .arg(pages.FileSize()));
    out->reserve(qsizetype(length));

    const bool onePage = flags & kOnePage;
    std::uint32_t next = U32(field + 4);
    std::unordered_set<std::uint32_t> seen;
    Page page;
    QString what;
    while (next != 0) {
        const std::uint32_t number = next >> 8;
        const int row = int(next & 0xff);
        if (!seen.insert(next).second)
            return fail(QStringLiteral("its pages run in a loop back to page %1").arg(number));
        if (!pages.Read(number, &page, &what))
            return fail(what);
        int start = 0;
        std::size_t rowSize = 0;
        if (page[0] != kDataPage ||
            !RowBounds(page.data(), pages.PageSize(), rowCountOffset, row, &start, &rowSize))
            return fail(QStringLiteral("page %1 has no row %2 to hold it").arg(number).arg(row));
        const unsigned char* data = page.data() + start;
        if (onePage) {
            next = 0;
        } else {
            if (rowSize < kChainLink)
                return fail(QStringLiteral("its part on page %1 is cut short").arg(number));
            next = U32(data);
            data += kChainLink;
            rowSize -= kChainLink;
        }
        if (rowSize > length - std::size_t(out->size()))
            return fail(QStringLiteral("it states %1 bytes but its pages hold more").arg(length));
        out->append(reinterpret_cast<const char*>(data), qsizetype(rowSize));
    }
    if (std::size_t(out->size()) != length)
        return fail(QStringLiteral("it states %1 bytes but its pages end after %2")
                        .arg(length)
                        .arg(out->size()));
    return true;
}

} // namespace Legacy
