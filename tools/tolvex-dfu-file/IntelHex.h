#pragma once

// Intel HEX, the text form in which firmware builds hand over their images: data records
// with 16-bit offsets, extended segment and linear address records, end-of-file record.
// Every record's length and checksum are checked; overlapping data is refused.

#include <cstdint>
#include <string>
#include <vector>

namespace hex {

// Images larger than this are refused: no device of ours has that much memory.
constexpr size_t MaxImageBytes = size_t(64) << 20;

struct Segment
{
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

// Contiguous data become one segment each, in address order. On failure `error` says what
// is wrong and on which line.
bool parse(const char *text, size_t size, std::vector<Segment> &out, std::string &error);

} // namespace hex
