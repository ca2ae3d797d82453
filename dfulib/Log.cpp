#include "Internal_p.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

struct Sink
{
    DfuLogHandler handler = nullptr;
    void *user = nullptr;
};

// Installed once at start, read by every worker thread.
std::mutex &sinkMutex()
{
    static std::mutex m;
    return m;
}

Sink &sink()
{
    static Sink s;
    return s;
}

} // namespace

void DFU_SetLogHandler(DfuLogHandler handler, void *user)
{
    std::lock_guard<std::mutex> lock(sinkMutex());
    sink() = Sink{handler, user};
}

namespace dfulib {

void log(DfuLogLevel level, const char *format, ...)
{
    Sink s;
    {
        std::lock_guard<std::mutex> lock(sinkMutex());
        s = sink();
    }
    if (!s.handler)
        return;
    // Paths and layout strings are bounded by the library; a longer message is cut, not lost.
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    s.handler(level, text, s.user);
}

} // namespace dfulib
