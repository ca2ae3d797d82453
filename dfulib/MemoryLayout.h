#pragma once

// Memory-layout strings, the interface strings of a DFU alternate setting:
//   @Name/0xADDR/NN*SSSxT[,NN*SSSxT...][/0xADDR/NN*SSSxT...]
// Sector groups are kept as groups, so that a hostile count costs no memory.

#include "dfulib.h"

#include <string>
#include <vector>

namespace dfulib {

enum Access : uint8_t { AccessRead = 1, AccessErase = 2, AccessWrite = 4 };

struct SectorGroup
{
    uint32_t start = 0;   // address of the first sector
    uint32_t count = 0;
    uint32_t size = 0;    // bytes per sector
    uint8_t access = 0;   // Access bits

    uint64_t end() const { return uint64_t(start) + uint64_t(count) * size; }
};

struct Sector
{
    uint32_t address = 0;
    uint32_t size = 0;
    uint8_t access = 0;
};

struct MemoryLayout
{
    std::string name;                 // text between '@' and the first '/', trailing blanks removed
    std::vector<uint32_t> regionStarts;
    std::vector<SectorGroup> groups;  // in address order within each region

    // The sector holding `address`, if any.
    bool sectorAt(uint32_t address, Sector &sector) const;
    // Visits every sector overlapping [address, address + size) in address order; stops
    // early when `visit` returns false. Returns false if part of the range lies in no sector.
    template <typename F>
    bool forEachSector(uint32_t address, uint64_t size, F visit) const;
};

DfuStatus parseMemoryLayout(const std::string &text, MemoryLayout &out);

template <typename F>
bool MemoryLayout::forEachSector(uint32_t address, uint64_t size, F visit) const
{
    uint64_t cursor = address;
    const uint64_t end = uint64_t(address) + size;
    while (cursor < end) {
        Sector sector;
        if (cursor > 0xFFFFFFFFu || !sectorAt(uint32_t(cursor), sector))
            return false;
        if (!visit(sector))
            return true;
        cursor = uint64_t(sector.address) + sector.size;
    }
    return true;
}

} // namespace dfulib
