#include "NewFile_p.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dfulib {

namespace {

std::string errorText(const char *what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

} // namespace

NewFile::~NewFile()
{
    cancel();
    if (folder >= 0)
        ::close(folder);
}

NewFile::Result NewFile::open(const std::string &path, bool replaceExisting, std::string &why)
{
    replace = replaceExisting;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".")
                            : slash == 0               ? std::string("/")
                                                       : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        why = "not a file name";
        return Result::Failed;
    }
    folder = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        why = errorText("cannot open its folder", errno);
        return Result::Failed;
    }
    struct stat st;
    if (!replace && ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        why = S_ISLNK(st.st_mode) ? "a symbolic link of that name exists" : "a file of that name exists";
        return Result::Exists;
    }
    std::random_device random;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x", unsigned(random()));
        temporary = "." + name + suffix + ".part";
        fd = ::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            why = errorText("cannot create a file in its folder", errno);
            temporary.clear();
            return Result::Failed;
        }
    }
    if (fd < 0) {
        why = "cannot create a file of a free name in its folder";
        temporary.clear();
        return Result::Failed;
    }
    return Result::Ok;
}

NewFile::Result NewFile::commit(const uint8_t *data, size_t size, std::string &why)
{
    if (fd < 0) {
        why = "not open";
        return Result::Failed;
    }
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            why = errorText("cannot write", n < 0 ? errno : ENOSPC);
            cancel();
            return Result::Failed;
        }
        done += size_t(n);
    }
    const bool flushed = ::fsync(fd) == 0;
    const int closeError = ::close(fd) == 0 ? 0 : errno;
    fd = -1;
    if (!flushed || closeError) {
        why = errorText("cannot write", closeError ? closeError : EIO);
        cancel();
        return Result::Failed;
    }
    // A rename replaces a link itself, never its target. Without replace it must fail where
    // anything of that name appeared meanwhile: RENAME_NOREPLACE, or a hard link where the
    // file system does not know that flag.
    bool linked = false;
    int renamed = ::renameat2(folder, temporary.c_str(), folder, name.c_str(), replace ? 0 : RENAME_NOREPLACE);
    if (renamed != 0 && !replace && errno == EINVAL) {
        renamed = ::linkat(folder, temporary.c_str(), folder, name.c_str(), 0);
        linked = renamed == 0;
    }
    if (renamed != 0) {
        const int error = errno;
        why = error == EEXIST ? "a file of that name appeared meanwhile" : errorText("cannot put it in place", error);
        cancel();
        return error == EEXIST ? Result::Exists : Result::Failed;
    }
    if (linked)
        ::unlinkat(folder, temporary.c_str(), 0);
    temporary.clear();
    ::fsync(folder);
    return Result::Ok;
}

void NewFile::cancel()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    if (!temporary.empty() && folder >= 0)
        ::unlinkat(folder, temporary.c_str(), 0);
    temporary.clear();
}

} // namespace dfulib
