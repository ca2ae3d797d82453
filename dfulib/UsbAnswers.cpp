#include "UsbAnswers.h"

#include <algorithm>
#include <cstring>

namespace dfulib {

bool parseStatusAnswer(const uint8_t *data, size_t length, StatusAnswer &out)
{
    if (length != 6 || data[4] > StateError)
        return false;
    out.status = data[0];
    out.pollTimeoutMs = uint32_t(data[1]) | (uint32_t(data[2]) << 8) | (uint32_t(data[3]) << 16);
    out.state = data[4];
    out.stringIndex = data[5];
    return true;
}

bool findFunctionalDescriptor(const uint8_t *extra, size_t length, DfuFunctionalDescriptor &out)
{
    size_t pos = 0;
    while (length - pos >= 2) {
        const uint8_t bLength = extra[pos];
        if (bLength < 2 || bLength > length - pos)
            return false;
        if (extra[pos + 1] == 0x21) {
            if (bLength != 7 && bLength != 9)
                return false;
            std::memset(&out, 0, sizeof out);
            std::memcpy(&out, extra + pos, bLength);
            if (bLength == 7)
                out.bcdDFUVersion = 0x0100;
            return true;
        }
        pos += bLength;
    }
    return false;
}

bool parseStringDescriptor(const uint8_t *data, size_t length, std::string &out)
{
    out.clear();
    if (length < 2 || data[1] != 3 || data[0] < 2)
        return false;
    // Real devices send odd lengths, or claim more than they send: the text is what
    // arrived, in whole characters.
    const size_t chars = (std::min<size_t>(data[0], length) - 2) / 2;
    out.reserve(chars);
    for (size_t i = 0; i < chars; ++i) {
        const uint16_t c = uint16_t(data[2 + 2 * i] | (data[3 + 2 * i] << 8));
        out.push_back(c <= 0xFF ? char(c) : '?');
    }
    return true;
}

bool parseLanguageIds(const uint8_t *data, size_t length, uint16_t &firstLanguage)
{
    if (length < 4 || data[1] != 3 || data[0] < 4 || data[0] > length)
        return false;
    firstLanguage = uint16_t(data[2] | (data[3] << 8));
    return true;
}

bool parseDeviceDescriptor(const uint8_t *data, size_t length, DfuUsbDeviceDescriptor &out)
{
    if (length != sizeof out || data[0] != sizeof out || data[1] != 1)
        return false;
    std::memcpy(&out, data, sizeof out);
    return true;
}

} // namespace dfulib
