#include "IntelHex.h"

#include <algorithm>
#include <cstdio>

namespace hex {

namespace {

int nibble(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool fail(std::string &error, size_t line, const char *what)
{
    error = "line " + std::to_string(line) + ": " + what;
    return false;
}

} // namespace

bool parse(const char *text, size_t size, std::vector<Segment> &out, std::string &error)
{
    out.clear();
    std::vector<Segment> records;
    size_t total = 0;
    uint32_t base = 0;
    bool ended = false;
    size_t lineNumber = 0;
    for (size_t pos = 0; pos < size && !ended;) {
        size_t end = pos;
        while (end < size && text[end] != '\n')
            ++end;
        ++lineNumber;
        size_t first = pos, last = end;
        pos = end + 1;
        while (first < last && (text[first] == ' ' || text[first] == '\t' || text[first] == '\r'))
            ++first;
        while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t' || text[last - 1] == '\r'))
            --last;
        if (first == last)
            continue;
        if (text[first] != ':')
            return fail(error, lineNumber, "a record must start with ':'");
        ++first;
        if ((last - first) % 2 != 0 || last - first < 10)
            return fail(error, lineNumber, "a record needs an even count of hex digits, at least 10");
        std::vector<uint8_t> bytes;
        for (size_t i = first; i < last; i += 2) {
            const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
            if (hi < 0 || lo < 0)
                return fail(error, lineNumber, "not a hex digit");
            bytes.push_back(uint8_t(hi << 4 | lo));
        }
        if (bytes.size() != size_t(bytes[0]) + 5)
            return fail(error, lineNumber, "the record's length byte does not match its size");
        uint8_t sum = 0;
        for (uint8_t b : bytes)
            sum = uint8_t(sum + b);
        if (sum != 0)
            return fail(error, lineNumber, "checksum mismatch");
        const uint8_t length = bytes[0];
        const uint32_t offset = uint32_t(bytes[1]) << 8 | bytes[2];
        const uint8_t *data = bytes.data() + 4;
        switch (bytes[3]) {
        case 0x00: {
            const uint64_t address = uint64_t(base) + offset;
            if (address + length > 0x100000000ull)
                return fail(error, lineNumber, "data beyond the 32-bit address space");
            total += length;
            if (total > MaxImageBytes)
                return fail(error, lineNumber, "the image is larger than 64 MiB");
            if (length)
                records.push_back({uint32_t(address), std::vector<uint8_t>(data, data + length)});
            break;
        }
        case 0x01:
            ended = true;
            break;
        case 0x02:
        case 0x04:
            if (length != 2)
                return fail(error, lineNumber, "an address record carries 2 bytes");
            base = bytes[3] == 0x02 ? (uint32_t(data[0]) << 8 | data[1]) << 4 : (uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16);
            break;
        case 0x03:
        case 0x05:
            // Start addresses: a device starts where its vector table says.
            if (length != 4)
                return fail(error, lineNumber, "a start address record carries 4 bytes");
            break;
        default:
            return fail(error, lineNumber, "unknown record type");
        }
    }
    if (!ended)
        return fail(error, lineNumber, "no end-of-file record (is the file cut short?)");

    std::stable_sort(records.begin(), records.end(),
                     [](const Segment &a, const Segment &b) { return a.address < b.address; });
    for (Segment &r : records) {
        if (!out.empty()) {
            Segment &previous = out.back();
            const uint64_t previousEnd = uint64_t(previous.address) + previous.bytes.size();
            if (r.address < previousEnd) {
                char at[16];
                std::snprintf(at, sizeof at, "0x%08X", r.address);
                error = std::string("data overlap at address ") + at;
                out.clear();
                return false;
            }
            if (r.address == previousEnd) {
                previous.bytes.insert(previous.bytes.end(), r.bytes.begin(), r.bytes.end());
                continue;
            }
        }
        out.push_back(std::move(r));
    }
    return true;
}

} // namespace hex
