// Signature and public key files in minisign's format: the readers must refuse or accept
// without reading out of bounds, and a signature that parses must verify or not, never crash.

#include "FileSignature.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::string error;
    dfu::MinisignKey key;
    const bool isKey = dfu::parseMinisignKey(text, key, error);
    if (!isKey && error.empty())
        std::abort();
    dfu::MinisignSignature signature;
    if (dfu::parseMinisignSignature(text, signature, error)) {
        // Checked against itself as the data, and against the key it names.
        dfu::MinisignKey named;
        std::memcpy(named.keyId, signature.keyId, sizeof named.keyId);
        const dfu::SignatureCheck c = dfu::checkSignature(data, size, true, text, {named});
        if (c.verdict == dfu::SignatureVerdict::NoSignature || c.verdict == dfu::SignatureVerdict::Damaged
            || c.keyId.size() != 16)
            std::abort();
        if (dfu::verdictText(c).empty())
            std::abort();
    }
    return 0;
}
