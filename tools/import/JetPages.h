#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

// Pages of a Jet file read by number, straight from the file, and the structures the
// import follows across them: a table's definition pages and its long texts. Every page
// number is checked against the end of the file first: libmdb hands back a page of
// zeros for the page that starts exactly at the end of a truncated file, which would
// bring lost text over as U+0000 characters.
namespace Legacy {

using Page = std::vector<unsigned char>;

// Jet stores its numbers little-endian.
inline std::uint16_t U16(const unsigned char* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}

inline std::uint32_t U32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

class PageReader {
public:
    bool Open(const QString& path, int pageSize, QString* error);
    int PageSize() const { return pageSize_; }
    std::uint32_t PageCount() const { return pageCount_; }
    qint64 FileSize() const { return qint64(pageCount_) * pageSize_; }

    // Reads page `number` into `page`. On failure `*why` says what is wrong, for instance
    // that the page lies past the end of the file.
    bool Read(std::uint32_t number, Page* page, QString* why) const;

private:
    mutable QFile file_;
    int pageSize_ = 0;
    std::uint32_t pageCount_ = 0;
};

// Locates row `row` of a data page, refusing a row table that points outside the page.
bool RowBounds(const unsigned char* page, int pageSize, int rowCountOffset, int row, int* start,
               std::size_t* size);

// The figures of a table definition that rows are laid out by.
struct DefinitionHeader {
    int maxColumns = 0;       // column numbers run below this, deleted columns included
    int varColumns = 0;       // slots in each row's table of variable-length values
    int columnCount = 0;      // columns the definition describes
    std::int64_t lastKey = 0; // the last number the table's counter handed out, or 0
};

// Reads the header of the table definition starting on page `first` and checks that its
// chain of pages stays inside the file and never comes back to a page. The offsets are
// those of the row count and of the column count, which differ between Jet 3 and Jet 4.
bool ReadDefinition(const PageReader& pages, std::uint32_t first, int tableRowsOffset,
                    int columnCountOffset, DefinitionHeader* header, QString* why);

// Reads a long text: `field` is its value in the row, a 12-byte header followed by the
// text itself when that is short enough to live in the row. The stated length must be
// exactly what the row or the chain of pages holds; a length the file cannot hold is
// refused before anything is allocated.
bool ReadLongText(const PageReader& pages, int rowCountOffset, const unsigned char* field,
                  std::size_t size, QByteArray* out, QString* why);

} // namespace Legacy
