#include "LibraryLog_p.h"

#include "dfulib.h"

#include <QtDebug>

#include <mutex>

void routeDfuLibraryLog()
{
    static std::once_flag once;
    std::call_once(once, [] {
        DFU_SetLogHandler(
            [](DfuLogLevel level, const char *message, void *) {
                if (level == DFU_LOG_DEBUG)
                    qDebug("%s", message);
                else
                    qWarning("%s", message);
            },
            nullptr);
    });
}
