#pragma once

// Parsers for what a device answers: descriptors and DFU status. Each takes the bytes the
// device sent and their count, and trusts neither.

#include "dfulib.h"

#include <string>

namespace dfulib {

enum DfuState : uint8_t {
    StateAppIdle = 0,
    StateAppDetach = 1,
    StateIdle = 2,
    StateDownloadSync = 3,
    StateDownloadBusy = 4,
    StateDownloadIdle = 5,
    StateManifestSync = 6,
    StateManifest = 7,
    StateManifestWaitReset = 8,
    StateUploadIdle = 9,
    StateError = 10,
};

struct StatusAnswer
{
    uint8_t status = 0;       // bStatus, 0 OK
    uint32_t pollTimeoutMs = 0;
    uint8_t state = 0;        // bState
    uint8_t stringIndex = 0;
};

// A GETSTATUS answer must be exactly 6 bytes with a known state.
bool parseStatusAnswer(const uint8_t *data, size_t length, StatusAnswer &out);

// Finds the DFU functional descriptor (type 0x21) among class-specific descriptors, walking
// them by their own lengths. A descriptor of 7 bytes (DFU 1.0, no version field) reads as
// version 0x0100. Returns false if none is found or the walk meets a malformed length.
bool findFunctionalDescriptor(const uint8_t *extra, size_t length, DfuFunctionalDescriptor &out);

// Takes a string descriptor (bLength, type 3, UTF-16LE) as 8-bit text; characters above
// 0xFF become '?'. A bLength past the bytes that arrived, or odd, is clamped to the whole
// characters that did. Returns false if it is no string descriptor.
bool parseStringDescriptor(const uint8_t *data, size_t length, std::string &out);

// The first language id of string descriptor 0, or false.
bool parseLanguageIds(const uint8_t *data, size_t length, uint16_t &firstLanguage);

// An 18-byte device descriptor of type 1.
bool parseDeviceDescriptor(const uint8_t *data, size_t length, DfuUsbDeviceDescriptor &out);

} // namespace dfulib
