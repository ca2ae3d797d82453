#pragma once

// The multi-image .dfu file format, apart from any I/O: parsing bytes into views, and
// building the bytes of a new file. Every length and offset read from a file is checked
// against the real length before use.

#include "dfulib.h"

#include <memory>
#include <string>
#include <vector>

namespace dfulib {

constexpr size_t FilePrefixSize = 11;
constexpr size_t TargetPrefixSize = 274;
constexpr size_t ElementHeaderSize = 8;
constexpr size_t SuffixSize = 16;
constexpr size_t TargetNameSize = 255;
constexpr uint16_t ExtendedDfuVersion = 0x011A;
// Larger files are refused before they are read: no device of ours has that much memory.
constexpr size_t MaxFileSize = size_t(1) << 30;

struct ElementView
{
    uint32_t address = 0;
    const uint8_t *data = nullptr;
    uint32_t size = 0;
};

struct TargetView
{
    uint8_t alternate = 0;
    bool named = false;
    std::string name;
    std::vector<ElementView> elements;
};

struct FileView
{
    uint16_t bcdDevice = 0;
    uint16_t idProduct = 0;
    uint16_t idVendor = 0;
    uint16_t bcdDFU = 0;
    uint32_t crc = 0;
    std::vector<TargetView> targets;
};

// The suffix CRC: reflected CRC-32 without the final inversion, over `size` bytes.
uint32_t suffixCrc(const uint8_t *data, size_t size);

// Parses a whole file held in memory. On success `out` holds views into `data`, which must
// outlive them. Returns DFU_OK or the first inconsistency found. A caller that has already
// computed the CRC of all but the last four bytes passes it in `knownCrc`.
DfuStatus parseFile(const uint8_t *data, size_t size, FileView &out, const uint32_t *knownCrc = nullptr);

// The bytes of one element. They are shared rather than copied: the images read from a
// file all point into the file's one buffer, and a duplicated image shares its bytes.
class Element
{
public:
    Element() = default;
    Element(uint32_t address, std::vector<uint8_t> bytes);
    // `bytes` points into storage that it keeps alive (an aliasing shared pointer).
    Element(uint32_t address, std::shared_ptr<const uint8_t> bytes, size_t length);

    const uint8_t *data() const { return bytes.get(); }
    size_t size() const { return length; }
    bool empty() const { return length == 0; }

    uint32_t address = 0;

private:
    std::shared_ptr<const uint8_t> bytes;
    size_t length = 0;
};

struct Target
{
    uint8_t alternate = 0;
    std::string name;
    std::vector<Element> elements;
};

// Two elements of one target that share an address: their positions in the target and the
// first address they share. Empty elements share nothing.
struct Overlap
{
    size_t first = 0;
    size_t second = 0;
    uint32_t address = 0;
};
// Spans are (address, size) in the target's order; true and `out` set if any two overlap.
bool findOverlap(const std::vector<std::pair<uint32_t, uint32_t>> &spans, Overlap &out);
std::vector<std::pair<uint32_t, uint32_t>> spansOf(const Target &target);
std::vector<std::pair<uint32_t, uint32_t>> spansOf(const TargetView &target);

// Builds a complete file: prefix with the total size, the targets (named when the name is
// not empty), the suffix with the ids, bcdDFU 0x011A and the CRC. A target whose elements
// overlap is refused (DFU_ERROR_OVERLAP): which bytes a device should get would be a guess.
DfuStatus buildFile(uint16_t vendorId, uint16_t productId, uint16_t release, const std::vector<Target> &targets,
                    std::vector<uint8_t> &out);

// Owned copies of the targets of a parsed file, for writing it again.
std::vector<Target> copyTargets(const FileView &view);

} // namespace dfulib
