// Signature and public key files in minisign's format: the readers must refuse or accept
// without reading out of bounds, and a signature that parses must verify or not, never crash.
// Each input is also installed as a key file and loaded as the programs load keys: it is a
// key exactly when the parser says so, and otherwise a problem that refuses every file.

#include "FileSignature.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <stdlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::string error;
    dfulib::MinisignKey key;
    const bool isKey = dfulib::parseMinisignKey(text, key, error);
    if (!isKey && error.empty())
        std::abort();
    static const std::string folder = [] {
        char name[] = "/tmp/fuzz-keys-XXXXXX";
        return std::string(mkdtemp(name) ? name : "");
    }();
    if (!folder.empty()) {
        std::ofstream(folder + "/key.pub", std::ios::binary | std::ios::trunc) << text;
        const dfulib::TrustedKeys keys = dfulib::loadTrustedKeys({folder});
        const bool loaded = keys.keys.size() == 1 && keys.problems.empty();
        const bool refused = keys.keys.empty() && keys.problems.size() == 1 && !keys.usable() && keys.installed();
        if (isKey ? !loaded : !refused)
            std::abort();
    }
    dfulib::MinisignSignature signature;
    if (dfulib::parseMinisignSignature(text, signature, error)) {
        // Checked against itself as the data, and against the key it names.
        dfulib::MinisignKey named;
        std::memcpy(named.keyId, signature.keyId, sizeof named.keyId);
        const dfulib::SignatureCheck c = dfulib::checkSignature(data, size, true, text, {named});
        if (c.verdict == dfulib::SignatureVerdict::NoSignature || c.verdict == dfulib::SignatureVerdict::Damaged
            || c.keyId.size() != 16)
            std::abort();
        if (dfulib::verdictText(c).empty())
            std::abort();
    }
    return 0;
}
