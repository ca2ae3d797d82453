#pragma once

// A .dfu file as another writer may make it, whose two elements overlap: 4 KiB at `address`,
// then 2 KiB of other bytes at `address` + 2 KiB; one image "fw_main_v2" for alternate 1.

#include "Bytes.h"
#include "DfuFileFormat.h"
#include "LittleEndian.h"

#include <QByteArray>

inline QByteArray overlappingDfuFile(uint32_t address)
{
    dfulib::Target t;
    t.alternate = 1;
    t.name = "fw_main_v2";
    const QByteArray first = pattern(4096, 1), second = pattern(2048, 2);
    t.elements.emplace_back(address, std::vector<uint8_t>(first.begin(), first.end()));
    t.elements.emplace_back(address + 8192, std::vector<uint8_t>(second.begin(), second.end()));
    std::vector<uint8_t> bytes;
    // Written apart (our writer refuses overlaps), then the second element moved back.
    if (dfulib::buildFile(0x1209, 0x2A17, 0x0200, {t}, bytes) != DFU_OK)
        return QByteArray();
    tolvex::setLe32(
        bytes, dfulib::FilePrefixSize + dfulib::TargetPrefixSize + dfulib::ElementHeaderSize + 4096, address + 2048);
    tolvex::setLe32(bytes, bytes.size() - 4, dfulib::suffixCrc(bytes.data(), bytes.size() - 4));
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}
