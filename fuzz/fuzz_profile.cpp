// A station profile's bytes: read within its bounds, or refused with a reason; what is read
// is what a station may use (ports once each, labelled; numbers in their ranges).

#include "StationProfile.h"

#include <QSet>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    update::StationProfile p;
    const Outcome parsed = update::parseStationProfile(bytes, p);
    if (!parsed) {
        if (parsed.message().isEmpty() || parsed.kind() != Outcome::Kind::Refused)
            std::abort();
        return 0;
    }
    if (p.firmware.isEmpty() || p.count < 0 || p.restartWaitSeconds < 1 || p.restartWaitSeconds > 600 || p.columns < 0
        || p.columns > 64 || p.ports.size() > 256 || (!p.sha256.isEmpty() && p.sha256.size() != 64))
        std::abort();
    QSet<QString> ports;
    for (const auto &port : p.ports) {
        if (port.second.isEmpty() || ports.contains(port.first))
            std::abort();
        ports.insert(port.first);
    }
    return 0;
}
