#include "JetLayout.h"

#include <algorithm>

namespace Legacy {

namespace {
// Access refuses a 256th column, deleted columns included; a larger count is damage,
// and would send libmdb's null-mask lookup outside the row.
constexpr int kMostColumns = 255;
} // namespace

bool CheckColumns(const std::vector<ColumnLayout>& columns, const DefinitionHeader& header,
                  QString* why) {
    if (header.maxColumns > kMostColumns || header.columnCount > header.maxColumns ||
        int(columns.size()) != header.columnCount) {
        *why = QStringLiteral("it describes %1 columns but numbers %2, and a table has at most %3")
                   .arg(header.columnCount)
                   .arg(header.maxColumns)
                   .arg(kMostColumns);
        return false;
    }
    std::vector<const ColumnLayout*> byNumber(std::size_t(header.maxColumns), nullptr);
    std::vector<const ColumnLayout*> bySlot(std::size_t(header.varColumns), nullptr);
    std::vector<const ColumnLayout*> fixed;
    for (const ColumnLayout& column : columns) {
        const ColumnLayout* col = &column;
        if (col->number < 0 || col->number >= header.maxColumns) {
            *why = QStringLiteral("column %1 has number %2, but the table numbers its columns "
                                  "below %3")
                       .arg(col->name)
                       .arg(col->number)
                       .arg(header.maxColumns);
            return false;
        }
        const ColumnLayout*& sameNumber = byNumber[std::size_t(col->number)];
        if (sameNumber) {
            *why = QStringLiteral("columns %1 and %2 have the same number")
                       .arg(sameNumber->name, col->name);
            return false;
        }
        sameNumber = col;
        if (col->fixed) {
            fixed.push_back(col);
            continue;
        }
        if (col->varSlot >= unsigned(header.varColumns)) {
            *why = QStringLiteral("column %1 is variable-length value %2 of each row, but the "
                                  "table counts %3 such values")
                       .arg(col->name)
                       .arg(col->varSlot)
                       .arg(header.varColumns);
            return false;
        }
        const ColumnLayout*& sameSlot = bySlot[col->varSlot];
        if (sameSlot) {
            *why = QStringLiteral("columns %1 and %2 share one variable-length value")
                       .arg(sameSlot->name, col->name);
            return false;
        }
        sameSlot = col;
    }
    std::stable_sort(fixed.begin(), fixed.end(), [](const ColumnLayout* a, const ColumnLayout* b) {
        return a->fixedOffset < b->fixedOffset;
    });
    for (std::size_t i = 1; i < fixed.size(); ++i) {
        if (fixed[i - 1]->fixedOffset + fixed[i - 1]->size > fixed[i]->fixedOffset) {
            *why = QStringLiteral("columns %1 and %2 overlap in each row")
                       .arg(fixed[i - 1]->name, fixed[i]->name);
            return false;
        }
    }
    return true;
}

bool ReadFrame(bool jet4, const unsigned char* row, std::size_t size,
               const DefinitionHeader& header, RowFrame* frame, QString* why) {
    const std::size_t countSize = jet4 ? 2 : 1;
    if (size < countSize + 1) {
        *why = QStringLiteral("it is cut short");
        return false;
    }
    frame->columns = jet4 ? U16(row) : row[0];
    if (frame->columns == 0 || frame->columns > header.maxColumns) {
        *why = QStringLiteral("it says it holds %1 columns, but the table has at most %2")
                   .arg(frame->columns)
                   .arg(header.maxColumns);
        return false;
    }
    const std::size_t maskSize = std::size_t(frame->columns + 7) / 8;
    const std::size_t trailer = maskSize + (header.varColumns > 0 ? countSize : 0);
    if (countSize + trailer > size) {
        *why = QStringLiteral("it is too short for its %1 columns").arg(frame->columns);
        return false;
    }
    const unsigned char* varCount = row + size - maskSize - countSize;
    frame->varColumns = header.varColumns == 0 ? 0 : jet4 ? U16(varCount) : varCount[0];
    if (frame->varColumns > header.varColumns || frame->varColumns > frame->columns) {
        *why = QStringLiteral("it says it holds %1 variable-length values, but the table has %2")
                   .arg(frame->varColumns)
                   .arg(header.varColumns);
        return false;
    }
    frame->nullMask = row + size - maskSize;
    return true;
}

} // namespace Legacy
