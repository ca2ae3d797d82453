// Linked into every test: the trusted-key folders start empty, so that keys installed on the
// machine change no test. A test that wants keys points the folders at its own.

#include "FileSignature.h"

namespace {
const bool noMachineKeys = [] {
    dfu::setTrustedKeyFolders({});
    return true;
}();
} // namespace
