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

namespace dfulib {

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
// none) against `data` and the trusted keys; every key that bears the signature's id is tried.
SignatureCheck checkSignature(const uint8_t *data, size_t size, bool present, const std::string &signatureText,
                              const std::vector<MinisignKey> &trusted);

// The signature beside the file at `path` (PATH.minisig), read and checked against `data`, the
// file's bytes. A signature file that is not a regular file of a sane size is Damaged.
SignatureCheck checkSignatureBeside(
    const std::string &path, const uint8_t *data, size_t size, const std::vector<MinisignKey> &trusted);

// The reason of a verdict, for messages ("signature by an unknown key 0123...").
std::string verdictText(const SignatureCheck &check);

// Where the maker's public keys are installed: /etc/tolvex-dfu/trusted-keys and the
// package's share/tolvex-dfu/trusted-keys. A folder that does not exist sets no policy; with
// none there, files are written as they come.
std::vector<std::string> trustedKeyFolders();
// The administrator's folder of the machine, where the first trusted-key folder is
// (/etc/tolvex-dfu): the restore policy and the central history's connection are read there.
// Empty when no folder is set, as in the tests, whose machine settings are their own.
std::string machineSettingsFolder();
// Replaces the folders (tests, and a tool given a key of its own).
void setTrustedKeyFolders(const std::vector<std::string> &folders);
// The same from a colon-separated list (empty: no folder). Only the test builds of the
// programs call it, with the test's own folders: the shipped programs read the machine's.
void setTrustedKeyFoldersFrom(const char *list);

// What the trusted-key folders hold. Every regular file in a folder is meant as a key (named
// KEY.pub); one that does not load, or a folder that exists but cannot be read, is a problem,
// and any problem means that no file is trusted: a broken installation fails closed rather
// than letting unsigned files through.
struct TrustedKeys
{
    std::vector<MinisignKey> keys;
    std::vector<std::string> problems; // "PATH: why", for people
    // A policy is in force: only files that one of the keys signed may be written.
    bool installed() const { return !keys.empty() || !problems.empty(); }
    bool usable() const { return !keys.empty() && problems.empty(); }
};
TrustedKeys loadTrustedKeys(const std::vector<std::string> &folders);

// Whether this machine's own backups may be written back unsigned while a signature policy is
// in force: a decision of the administrator, in the file restore-policy beside the first
// trusted-key folder (/etc/tolvex-dfu/restore-policy). One word: "signed-only" (the default,
// also without the file) or "own-backups" (a file that this machine's history records as an
// upload from the same board, same serial and SHA-256, is written to that board only). The file
// counts only when it is a regular file owned by root that no one else may write (a test that
// set the folders may own it itself); anything else is a problem, and the default holds.
enum class RestorePolicy { SignedOnly, OwnBackups };
struct RestoreSetting
{
    RestorePolicy policy = RestorePolicy::SignedOnly;
    std::string path;
    std::string problem; // why the file was not taken, for people; empty when it was (or is absent)
};
RestoreSetting loadRestorePolicy();

} // namespace dfulib
