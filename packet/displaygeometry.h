// The front panel's display as every part of the system sees it: 16 rows of 40 characters, the
// cursor 1-based within them. The controller's mirror of it and the blocks it is read in are the
// link's business (LinkRules); the pages are told the size in their hello.
#ifndef DISPLAYGEOMETRY_H
#define DISPLAYGEOMETRY_H

#include <cstdint>
#include <cstring>

namespace PanelDisplay {
constexpr int Rows = 16;
constexpr int Columns = 40;
constexpr int Cells = Rows * Columns;
constexpr uint32_t AllRows = (uint32_t(1) << Rows) - 1;

// The rows of now that differ from before, row r in bit r; both hold Cells characters.
inline uint32_t changedRows(const char *now, const char *before)
{
    uint32_t rows = 0;
    for (int r = 0; r < Rows; ++r) {
        if (std::memcmp(now + r * Columns, before + r * Columns, Columns) != 0)
            rows |= uint32_t(1) << r;
    }
    return rows;
}
} // namespace PanelDisplay

#endif // DISPLAYGEOMETRY_H
