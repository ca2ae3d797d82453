#pragma once

// Reading a file that must be a regular file of bounded size: a .dfu file, its signature, a
// trusted key, Config.ini. A named pipe would block the open until some writer came, and a
// device such as /dev/zero would never end; both are refused at once, as is a file larger than
// its bound. Symbolic links are followed (the file they lead to is what counts).

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvex {

enum class ReadResult { Read, Missing, NotRegular, TooLarge, Failed };

// Reads `path` whole into `out` (std::string or QByteArray: anything with resize() and data()).
// Anything but Read leaves `out` empty and says why in `why`, for people.
template <class Bytes>
ReadResult readRegularFile(const char *path, uint64_t limit, Bytes &out, std::string &why)
{
    out.resize(0);
    // Without O_NONBLOCK, opening a named pipe waits for a writer, deaf to everything.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        why = std::strerror(error);
        return error == ENOENT || error == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
    }
    const auto fail = [&](ReadResult r, std::string text) {
        ::close(fd);
        out.resize(0);
        why = std::move(text);
        return r;
    };
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return fail(ReadResult::Failed, std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail(ReadResult::NotRegular, S_ISDIR(st.st_mode)    ? "it is a folder, not a file"
                                            : S_ISFIFO(st.st_mode) ? "it is a named pipe, not a regular file"
                                                                   : "it is a device or socket, not a regular file");
    if (uint64_t(st.st_size) > limit)
        return fail(ReadResult::TooLarge, "it is larger than " + std::to_string(limit) + " bytes");
    // The file may grow while it is read: never past the bound, and the growth is seen.
    out.resize(decltype(out.size())(st.st_size) + 1);
    uint64_t done = 0;
    for (;;) {
        const ssize_t n = ::read(fd, out.data() + done, size_t(uint64_t(out.size()) - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(ReadResult::Failed, std::strerror(errno));
        if (n == 0)
            break;
        done += uint64_t(n);
        if (done > limit)
            return fail(ReadResult::TooLarge, "it is larger than " + std::to_string(limit) + " bytes");
        if (done == uint64_t(out.size()))
            out.resize(decltype(out.size())(std::min<uint64_t>(limit + 1, done * 2 + 1)));
    }
    ::close(fd);
    out.resize(decltype(out.size())(done));
    return ReadResult::Read;
}

} // namespace tolvex
