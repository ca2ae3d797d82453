#pragma once

// A new file, written beside its destination and renamed over it once complete. Everything
// happens relative to the folder as it was opened, so a folder renamed or replaced meanwhile
// cannot redirect the write; the destination is never followed: a symbolic link there is
// itself replaced (or, where nothing may be replaced, refused), never written through.
// Written here rather than with QSaveFile, which writes to the target of a link it meets.

#include <cstddef>
#include <cstdint>
#include <string>

namespace dfulib {

class NewFile
{
public:
    NewFile() = default;
    ~NewFile();
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;

    enum class Result { Ok, Exists, Failed };
    // Creates the temporary file in the destination's folder. Without `replace`, a destination
    // that exists (a file, a link, dangling or not) is Exists, now and at commit.
    Result open(const std::string &path, bool replace, std::string &why);
    // Writes `size` bytes, flushes them to the disk and renames the file into place.
    Result commit(const uint8_t *data, size_t size, std::string &why);
    // Removes the temporary file.
    void cancel();

private:
    int folder = -1;
    int fd = -1;
    std::string name, temporary;
    bool replace = false;
};

} // namespace dfulib
