#pragma once

#include "JetPages.h"

#include <QString>

#include <cstddef>
#include <vector>

// How the rows of a table are laid out, checked before libmdb is let near them: libmdb
// places every value by the column numbers, slots and offsets of the definition and
// trusts them, and finds a row's null mask by the counts the row itself gives.
namespace Legacy {

// One column as the table definition places it in each row.
struct ColumnLayout {
    QString name;
    int number = 0;
    bool fixed = false;
    unsigned varSlot = 0; // its place in the row's table of variable-length values
    int fixedOffset = 0;  // where a fixed-length value starts, and its length
    int size = 0;
};

// Whether the columns agree with the definition's header and with each other: a column
// that contradicts the others would move values into its neighbour or leave them out
// without a word. `*why` says which columns disagree.
bool CheckColumns(const std::vector<ColumnLayout>& columns, const DefinitionHeader& header,
                  QString* why);

// The counts and the null mask that frame a row, read the way libmdb reads them.
struct RowFrame {
    int columns = 0;
    int varColumns = 0;
    const unsigned char* nullMask = nullptr;

    // Whether the row marks column `number` as holding a value. A column numbered past
    // the row's own count was added after the row was written and has none.
    bool HasValue(int number) const {
        return number < columns && (nullMask[number / 8] >> (number % 8) & 1);
    }
};

// Reads the frame of the row of `size` bytes at `row`; false with `*why` when its counts
// contradict the definition or the row is too short for them.
bool ReadFrame(bool jet4, const unsigned char* row, std::size_t size,
               const DefinitionHeader& header, RowFrame* frame, QString* why);

} // namespace Legacy
