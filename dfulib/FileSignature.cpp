#include "FileSignature.h"

#include "RegularFile.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace dfulib {

namespace {

constexpr char UntrustedPrefix[] = "untrusted comment: ";
constexpr char TrustedPrefix[] = "trusted comment: ";

// The lines of a small text, CR-LF or LF; the last may end without a line feed.
std::vector<std::string> linesOf(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

bool startsWith(const std::string &s, const char *prefix)
{
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// Strict base64 to exactly `size` bytes.
bool decode(const std::string &text, uint8_t *out, size_t size)
{
    if (sodium_init() < 0)
        return false;
    size_t length = 0;
    const char *end = nullptr;
    if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &length, &end, sodium_base64_VARIANT_ORIGINAL)
        != 0)
        return false;
    return length == size && end == text.data() + text.size();
}

} // namespace

bool parseMinisignKey(const std::string &text, MinisignKey &out, std::string &error)
{
    if (text.size() > MaxSignatureFileSize) {
        error = "the key file is too large";
        return false;
    }
    const std::vector<std::string> lines = linesOf(text);
    if (lines.size() < 2 || !startsWith(lines[0], UntrustedPrefix)) {
        error = "not a minisign public key file";
        return false;
    }
    uint8_t bytes[2 + 8 + 32];
    if (!decode(lines[1], bytes, sizeof bytes)) {
        error = "the key is not base64 of the right length";
        return false;
    }
    if (bytes[0] != 'E' || bytes[1] != 'd') {
        error = "the key is of an unknown algorithm";
        return false;
    }
    std::memcpy(out.keyId, bytes + 2, 8);
    std::memcpy(out.publicKey, bytes + 10, 32);
    return true;
}

bool parseMinisignSignature(const std::string &text, MinisignSignature &out, std::string &error)
{
    if (text.size() > MaxSignatureFileSize) {
        error = "the signature file is too large";
        return false;
    }
    const std::vector<std::string> lines = linesOf(text);
    if (lines.size() < 4 || !startsWith(lines[0], UntrustedPrefix) || !startsWith(lines[2], TrustedPrefix)) {
        error = "not a minisign signature file (cut short?)";
        return false;
    }
    uint8_t bytes[2 + 8 + 64];
    if (!decode(lines[1], bytes, sizeof bytes)) {
        error = "the signature is not base64 of the right length";
        return false;
    }
    if (bytes[0] != 'E' || (bytes[1] != 'd' && bytes[1] != 'D')) {
        error = "the signature is of an unknown algorithm";
        return false;
    }
    if (!decode(lines[3], out.globalSignature, sizeof out.globalSignature)) {
        error = "the global signature is not base64 of the right length";
        return false;
    }
    out.prehashed = bytes[1] == 'D';
    std::memcpy(out.keyId, bytes + 2, 8);
    std::memcpy(out.signature, bytes + 10, 64);
    out.trustedComment = lines[2].substr(std::strlen(TrustedPrefix));
    return true;
}

std::string keyIdText(const uint8_t keyId[8])
{
    // minisign shows the id as a little-endian 64-bit number.
    char text[17];
    for (int i = 0; i < 8; ++i)
        std::snprintf(text + 2 * i, 3, "%02X", keyId[7 - i]);
    return std::string(text, 16);
}

SignatureCheck checkSignature(const uint8_t *data, size_t size, bool present, const std::string &signatureText,
                              const std::vector<MinisignKey> &trusted)
{
    SignatureCheck c;
    if (!present)
        return c;
    MinisignSignature sig;
    if (!parseMinisignSignature(signatureText, sig, c.detail)) {
        c.verdict = SignatureVerdict::Damaged;
        return c;
    }
    c.keyId = keyIdText(sig.keyId);
    c.trustedComment = sig.trustedComment;
    c.verdict = SignatureVerdict::UnknownKey;
    uint8_t hash[crypto_generichash_BYTES_MAX];
    bool hashed = false;
    // Key ids are 64 random bits, not a promise: two installed keys may share one, and each
    // is tried.
    for (const MinisignKey &key : trusted) {
        if (std::memcmp(key.keyId, sig.keyId, 8) != 0)
            continue;
        c.verdict = SignatureVerdict::Mismatch;
        if (sodium_init() < 0)
            return c;
        int verified = -1;
        if (sig.prehashed) {
            if (!hashed)
                crypto_generichash(hash, sizeof hash, data, size, nullptr, 0);
            hashed = true;
            verified = crypto_sign_verify_detached(sig.signature, hash, sizeof hash, key.publicKey);
        } else {
            verified = crypto_sign_verify_detached(sig.signature, data, size, key.publicKey);
        }
        if (verified != 0) {
            c.detail = "the signature does not match the file";
            continue;
        }
        // The trusted comment is signed with the signature: neither can be swapped alone.
        std::vector<uint8_t> global(sig.signature, sig.signature + sizeof sig.signature);
        global.insert(global.end(), sig.trustedComment.begin(), sig.trustedComment.end());
        if (crypto_sign_verify_detached(sig.globalSignature, global.data(), global.size(), key.publicKey) != 0) {
            c.detail = "the trusted comment was changed after signing";
            continue;
        }
        c.verdict = SignatureVerdict::Trusted;
        c.detail.clear();
        return c;
    }
    return c;
}

SignatureCheck checkSignatureBeside(
    const std::string &path, const uint8_t *data, size_t size, const std::vector<MinisignKey> &trusted)
{
    const std::string signaturePath = path + ".minisig";
    std::string text, why;
    switch (tolvex::readRegularFile(signaturePath.c_str(), MaxSignatureFileSize, text, why)) {
    case tolvex::ReadResult::Read: return checkSignature(data, size, true, text, trusted);
    case tolvex::ReadResult::Missing: return SignatureCheck();
    default: break;
    }
    SignatureCheck c;
    c.verdict = SignatureVerdict::Damaged;
    c.detail = signaturePath + ": " + why;
    return c;
}

std::string verdictText(const SignatureCheck &c)
{
    switch (c.verdict) {
    case SignatureVerdict::Trusted: return "signed by trusted key " + c.keyId;
    case SignatureVerdict::NoSignature: return "no signature file";
    case SignatureVerdict::Damaged: return "the signature file is damaged: " + c.detail;
    case SignatureVerdict::UnknownKey: return "signature by an unknown key " + c.keyId;
    case SignatureVerdict::Mismatch: return "signature by key " + c.keyId + " does not match: " + c.detail;
    }
    return "unknown";
}

namespace {
std::mutex foldersMutex;
bool foldersGiven = false; // by a test or a tool, not the machine's
std::vector<std::string> &folderList()
{
    static auto *folders = new std::vector<std::string>{"/etc/tolvex-dfu/trusted-keys", TOLVEX_SHARED_KEY_FOLDER};
    return *folders;
}
} // namespace

std::vector<std::string> trustedKeyFolders()
{
    std::lock_guard<std::mutex> lock(foldersMutex);
    return folderList();
}

void setTrustedKeyFolders(const std::vector<std::string> &folders)
{
    std::lock_guard<std::mutex> lock(foldersMutex);
    folderList() = folders;
    foldersGiven = true;
}

std::string machineSettingsFolder()
{
    std::lock_guard<std::mutex> lock(foldersMutex);
    if (folderList().empty())
        return std::string();
    std::string folder = folderList().front();
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return std::filesystem::path(folder).parent_path().string();
}

RestoreSetting loadRestorePolicy()
{
    RestoreSetting r;
    const std::string folder = machineSettingsFolder();
    if (folder.empty())
        return r;
    r.path = (std::filesystem::path(folder) / "restore-policy").string();
    bool given = false;
    {
        std::lock_guard<std::mutex> lock(foldersMutex);
        given = foldersGiven;
    }
    struct stat st;
    if (::lstat(r.path.c_str(), &st) != 0)
        return r; // no file: signed files only
    const bool owner = st.st_uid == 0 || (given && st.st_uid == ::geteuid());
    if (!S_ISREG(st.st_mode) || !owner || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        r.problem = r.path + ": not a regular file of root's that only root may write; signed files only";
        return r;
    }
    std::string text, why;
    if (tolvex::readRegularFile(r.path.c_str(), 256, text, why) != tolvex::ReadResult::Read) {
        r.problem = r.path + ": " + why + "; signed files only";
        return r;
    }
    const size_t from = text.find_first_not_of(" \t\r\n"), to = text.find_last_not_of(" \t\r\n");
    const std::string word = from == std::string::npos ? std::string() : text.substr(from, to - from + 1);
    if (word == "own-backups")
        r.policy = RestorePolicy::OwnBackups;
    else if (word != "signed-only")
        r.problem = r.path + ": \"" + word + "\" is neither signed-only nor own-backups; signed files only";
    return r;
}

void setTrustedKeyFoldersFrom(const char *list)
{
    std::vector<std::string> folders;
    std::string all = list ? list : "";
    size_t start = 0;
    while (start <= all.size()) {
        const size_t end = std::min(all.find(':', start), all.size());
        if (end > start)
            folders.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    setTrustedKeyFolders(folders);
}

TrustedKeys loadTrustedKeys(const std::vector<std::string> &folders)
{
    TrustedKeys out;
    for (const std::string &folder : folders) {
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(folder, error);
        if (status.type() == std::filesystem::file_type::not_found)
            continue;
        if (error || status.type() != std::filesystem::file_type::directory) {
            out.problems.push_back(folder + ": " + (error ? error.message() : std::string("not a folder")));
            continue;
        }
        std::vector<std::filesystem::path> files;
        std::filesystem::directory_iterator entries(folder, error);
        for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
            std::error_code typeError;
            const std::filesystem::file_type type = entries->status(typeError).type();
            // Anything that can be read as a file, or is named as a key, is meant as one.
            if (type == std::filesystem::file_type::regular || entries->path().extension() == ".pub")
                files.push_back(entries->path());
        }
        if (error) {
            out.problems.push_back(folder + ": cannot be listed: " + error.message());
            continue;
        }
        std::sort(files.begin(), files.end());
        for (const auto &file : files) {
            if (file.extension() != ".pub") {
                out.problems.push_back(file.string() + ": a key file must be named NAME.pub");
                continue;
            }
            std::string text, why;
            MinisignKey key;
            if (tolvex::readRegularFile(file.c_str(), MaxSignatureFileSize, text, why) != tolvex::ReadResult::Read
                || !parseMinisignKey(text, key, why)) {
                out.problems.push_back(file.string() + ": " + why);
                continue;
            }
            out.keys.push_back(key);
        }
    }
    return out;
}

} // namespace dfulib
