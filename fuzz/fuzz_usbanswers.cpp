// What a device answers: status, functional descriptor in extra bytes, string and
// device descriptors. The first byte picks the parser.

#include "UsbAnswers.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t *bytes = data + 1;
    const size_t length = size - 1;
    switch (data[0] % 5) {
    case 0: {
        dfulib::StatusAnswer s;
        if (dfulib::parseStatusAnswer(bytes, length, s) && (length != 6 || s.pollTimeoutMs > 0xFFFFFF))
            std::abort();
        break;
    }
    case 1: {
        DfuFunctionalDescriptor d;
        if (dfulib::findFunctionalDescriptor(bytes, length, d) && d.bDescriptorType != 0x21)
            std::abort();
        break;
    }
    case 2: {
        std::string text;
        if (dfulib::parseStringDescriptor(bytes, length, text) && text.size() * 2 + 2 > length)
            std::abort();
        break;
    }
    case 3: {
        uint16_t language;
        dfulib::parseLanguageIds(bytes, length, language);
        break;
    }
    default: {
        DfuUsbDeviceDescriptor d;
        dfulib::parseDeviceDescriptor(bytes, length, d);
        break;
    }
    }
    return 0;
}
