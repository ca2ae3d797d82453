#include "MemoryLayout.h"

#include <cctype>

namespace dfulib {

namespace {

// Bounds: a layout string is a USB string (at most 126 characters), and no real device
// has sectors larger than the 32-bit address space.
constexpr size_t MaxLayoutLength = 4096;

bool readNumber(const std::string &s, size_t &pos, int base, uint64_t &value)
{
    const size_t begin = pos;
    value = 0;
    while (pos < s.size()) {
        const int c = std::tolower(static_cast<unsigned char>(s[pos]));
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            break;
        value = value * uint64_t(base) + uint64_t(digit);
        if (value > 0xFFFFFFFFu)
            return false;
        ++pos;
    }
    return pos > begin;
}

bool isSeparator(char c)
{
    return c == ',' || c == '/';
}

} // namespace

bool MemoryLayout::sectorAt(uint32_t address, Sector &sector) const
{
    for (const SectorGroup &g : groups) {
        if (address >= g.start && address < g.end()) {
            const uint32_t index = (address - g.start) / g.size;
            sector.address = g.start + index * g.size;
            sector.size = g.size;
            sector.access = g.access;
            return true;
        }
    }
    return false;
}

DfuStatus parseMemoryLayout(const std::string &input, MemoryLayout &out)
{
    out = MemoryLayout();
    if (input.size() > MaxLayoutLength)
        return DFU_ERROR_LAYOUT;
    std::string s = input;
    while (!s.empty() && (std::isspace(static_cast<unsigned char>(s.back())) || s.back() == '\0'))
        s.pop_back();
    if (s.size() < 2 || s[0] != '@')
        return DFU_ERROR_LAYOUT;

    size_t pos = s.find('/');
    if (pos == std::string::npos)
        return DFU_ERROR_LAYOUT;
    out.name = s.substr(1, pos - 1);
    while (!out.name.empty() && out.name.back() == ' ')
        out.name.pop_back();

    while (pos < s.size()) {
        // "/0xADDR/"
        ++pos; // the '/'
        if (s.compare(pos, 2, "0x") != 0 && s.compare(pos, 2, "0X") != 0)
            return DFU_ERROR_LAYOUT;
        pos += 2;
        uint64_t start;
        if (!readNumber(s, pos, 16, start) || pos >= s.size() || s[pos] != '/')
            return DFU_ERROR_LAYOUT;
        ++pos;
        out.regionStarts.push_back(uint32_t(start));
        uint64_t cursor = start;
        for (;;) {
            uint64_t count, size;
            if (!readNumber(s, pos, 10, count) || pos >= s.size() || s[pos] != '*')
                return DFU_ERROR_LAYOUT;
            ++pos;
            if (!readNumber(s, pos, 10, size))
                return DFU_ERROR_LAYOUT;
            // One or two characters close the group: an optional multiplier, then the access letter.
            std::string tail;
            while (pos < s.size() && !isSeparator(s[pos]) && tail.size() < 3)
                tail += s[pos++];
            if (tail.empty() || tail.size() > 2)
                return DFU_ERROR_LAYOUT;
            if (tail.size() == 2) {
                switch (tail[0]) {
                case 'K': case 'k': size *= 1024; break;
                case 'M': case 'm': size *= 1024 * 1024; break;
                case 'B': case 'b': case ' ': break;
                default: return DFU_ERROR_LAYOUT;
                }
            }
            const int letter = std::tolower(static_cast<unsigned char>(tail.back()));
            if (letter < 'a' || letter > 'g')
                return DFU_ERROR_LAYOUT;
            if (count == 0 || size == 0 || size > 0xFFFFFFFFu)
                return DFU_ERROR_LAYOUT;
            SectorGroup group;
            group.start = uint32_t(cursor);
            group.count = uint32_t(count);
            group.size = uint32_t(size);
            group.access = uint8_t((letter - 'a' + 1) & 7);
            if (group.end() > (uint64_t(1) << 32))
                return DFU_ERROR_LAYOUT;
            for (const SectorGroup &other : out.groups) {
                if (group.start < other.end() && other.start < group.end())
                    return DFU_ERROR_LAYOUT; // overlapping regions
            }
            out.groups.push_back(group);
            cursor = group.end();
            if (pos >= s.size() || s[pos] == '/')
                break;
            ++pos; // ','
        }
    }
    return out.groups.empty() ? DFU_ERROR_LAYOUT : DFU_OK;
}

} // namespace dfulib
