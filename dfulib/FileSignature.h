#pragma once

// Detached signatures of .dfu files in minisign's published format (Ed25519), checked with
// libsodium: FILE.dfu.minisig beside FILE.dfu, made by `minisign -S -s maker.key -m FILE.dfu`.
// Both signature algorithms are read: "Ed" signs the file itself (legacy), "ED" its BLAKE2b-512
// hash (prehashed, minisign's default). The trusted comment is bound to the signature by the
// global signature, and checked with it.
//
// Every byte of a signature or key file is untrusted: sizes are bounded, the base64 is
// decoded strictly, lengths and algorithms are checked before anything is used.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dfu {

// Larger signature or key files are refused unread: the real ones take a few hundred bytes.
constexpr size_t MaxSignatureFileSize = 4096;

struct MinisignKey
{
    uint8_t keyId[8] = {};
    uint8_t publicKey[32] = {};
};

struct MinisignSignature
{
    bool prehashed = false; // "ED": the signature is of the file's BLAKE2b-512 hash
    uint8_t keyId[8] = {};
    uint8_t signature[64] = {};
    std::string trustedComment;
    uint8_t globalSignature[64] = {};
};

// A public key file: an untrusted comment line and a base64 line ("Ed", key id, key).
// False with `error` set on anything else.
bool parseMinisignKey(const std::string &text, MinisignKey &out, std::string &error);
// A signature file: untrusted comment, base64 signature, trusted comment, base64 global
// signature. False with `error` set on anything else.
bool parseMinisignSignature(const std::string &text, MinisignSignature &out, std::string &error);

// The key id as minisign prints it: 16 hexadecimal digits.
std::string keyIdText(const uint8_t keyId[8]);

enum class SignatureVerdict {
    Trusted,      // made by one of the keys, over these bytes, with its trusted comment intact
    NoSignature,  // no signature file
    Damaged,      // the signature file does not parse (`detail` says why)
    UnknownKey,   // made by a key that is not among the trusted ones
    Mismatch,     // made by a trusted key, but not over these bytes (or the comment was changed)
};

struct SignatureCheck
{
    SignatureVerdict verdict = SignatureVerdict::NoSignature;
    std::string keyId;          // of the signature, when it parsed
    std::string trustedComment; // when it parsed
    std::string detail;
};

// Checks `signatureText` (the content of the .minisig file; `present` false when there is
// none) against `data` and the trusted keys.
SignatureCheck checkSignature(const uint8_t *data, size_t size, bool present, const std::string &signatureText,
                              const std::vector<MinisignKey> &trusted);

// The reason of a verdict, for messages ("signature by an unknown key 0123...").
std::string verdictText(const SignatureCheck &check);

// Where the maker's public keys are installed: /etc/tolvex-dfu/trusted-keys and the
// package's share/tolvex-dfu/trusted-keys. With none there, files are written as they come;
// with any, only files that one of them signed.
std::vector<std::string> trustedKeyFolders();
// Replaces the folders (tests, and a tool given a key of its own).
void setTrustedKeyFolders(const std::vector<std::string> &folders);
// Every key file ("*.pub") in the folders; files that are not keys are named in `problems`.
std::vector<MinisignKey> loadTrustedKeys(const std::vector<std::string> &folders, std::vector<std::string> *problems);

// Reads a small file whole: false when it cannot be read; `tooLarge` when it holds more than
// `limit` bytes (then `out` is left empty).
bool readSmallFile(const std::string &path, size_t limit, std::string &out, bool &tooLarge);

} // namespace dfu
