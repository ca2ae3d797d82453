// The world of the preloaded stand-in (libusb and hidapi over one world): an unmodified
// program cannot plug devices itself, so the shared build reads them from the file that
// TOLVEX_SIM_WORLD names, one line a device or an event, with a timetable:
//   app product=NAME serial=TEXT [boot-product=NAME] [boot-serial=TEXT] [version=TEXT]
//       [family=16|8] [port=N] [at=SECONDS] [restart=SECONDS] [timing=instant|realistic]
//   dfu product=NAME serial=TEXT [pid=0x2A17] [alternates=1|2] [port=N] [at=SECONDS]
//       [timing=instant|realistic]
//   unplug port=N at=SECONDS
// `app` is a board in application mode whose boot loader reports boot-product and boot-serial
// (by default its own), whose flash holds `version` where its application reads it
// (0x08000200), at port N (location 1-N; by default the next free one), plugged in `at`
// seconds after the program first looks at the bus, away `restart` seconds whenever it
// changes mode (0.2 by default, 1.5 with realistic timing); it keeps its port across its restarts. `unplug` empties a
// port at its time, a board restarting into it included. `layout` replaces the memory-layout
// string of the boot loader's last alternate. Values may not contain blanks; an underscore
// stands for one, and %XX for the byte XX (strings are UTF-8). An unknown word is a warning. The static build, linked into our
// own tests and the demo, reads nothing: they plug their devices themselves.

#include "../World.h"
#include "../Board.h"
#include "../model/DfuDeviceModel.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <vector>
#include <sstream>

#ifdef TOLVEX_SIM_PRELOAD
namespace {

// What a line says, word by word: KEY=VALUE, underscores read as blanks.
struct Line
{
    std::map<std::string, std::string> values;
    std::string text(const std::string &key, const std::string &otherwise = std::string()) const
    {
        const auto it = values.find(key);
        return it == values.end() ? otherwise : it->second;
    }
    // A number of seconds as milliseconds, within a day; `otherwise` when not given or not one.
    int ms(const std::string &key, int otherwise) const
    {
        const auto it = values.find(key);
        if (it == values.end())
            return otherwise;
        char *end = nullptr;
        const double seconds = std::strtod(it->second.c_str(), &end);
        if (end == it->second.c_str() || *end || !(seconds >= 0 && seconds <= 86400)) {
            std::fprintf(stderr, "tolvex-sim: %s=%s is no number of seconds\n", key.c_str(), it->second.c_str());
            return otherwise;
        }
        return int(seconds * 1000 + 0.5);
    }
    uint8_t port() const
    {
        const unsigned long n = std::strtoul(text("port", "0").c_str(), nullptr, 10);
        return uint8_t(n <= 127 ? n : 0);
    }
};

// The boards of the world live as long as the program: their two halves share a flash and
// find each other again through these.
std::vector<sim::Board> &boards()
{
    static auto *all = new std::vector<sim::Board>;
    return *all;
}

void plugOnTime(std::shared_ptr<sim::UsbDeviceModel> model, const Line &l)
{
    const int at = l.ms("at", 0);
    if (at > 0)
        sim::World::instance().plugLater(std::move(model), at, l.port(), false);
    else
        sim::World::instance().plug(std::move(model), l.port());
}

sim::Timing timingOf(const Line &l)
{
    return l.text("timing") == "realistic" ? sim::Timing::Realistic : sim::Timing::Instant;
}

void loadWorld(const char *path)
{
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "tolvex-sim: cannot read the world file %s\n", path);
        return;
    }
    static const std::map<std::string, std::set<std::string>> known{
        {"app", {"product", "serial", "boot-product", "boot-serial", "version", "family", "port", "at", "restart",
                    "timing", "layout"}},
        {"dfu", {"product", "serial", "pid", "alternates", "port", "at", "timing", "layout"}},
        {"unplug", {"port", "at"}},
    };
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream words(text);
        std::string kind;
        if (!(words >> kind) || kind[0] == '#')
            continue;
        const auto kindKnown = known.find(kind);
        if (kindKnown == known.end()) {
            std::fprintf(stderr, "tolvex-sim: unknown line kind '%s'\n", kind.c_str());
            continue;
        }
        Line l;
        std::string word;
        while (words >> word) {
            const size_t eq = word.find('=');
            const std::string key = word.substr(0, eq);
            const std::string raw = eq == std::string::npos ? std::string() : word.substr(eq + 1);
            // '_' is a blank; %XX is the byte XX, so that a test can plant any byte (a line
            // feed, an escape, UTF-8 of a bidirectional override) in a device's strings.
            std::string value;
            for (size_t i = 0; i < raw.size(); ++i) {
                const auto hex = [](char c) {
                    return std::isxdigit(static_cast<unsigned char>(c)) ? std::stoi(std::string(1, c), nullptr, 16)
                                                                        : -1;
                };
                if (raw[i] == '%' && i + 2 < raw.size() && hex(raw[i + 1]) >= 0 && hex(raw[i + 2]) >= 0) {
                    value.push_back(char(hex(raw[i + 1]) * 16 + hex(raw[i + 2])));
                    i += 2;
                } else {
                    value.push_back(raw[i] == '_' ? ' ' : raw[i]);
                }
            }
            if (!kindKnown->second.count(key))
                std::fprintf(stderr, "tolvex-sim: unknown setting '%s'\n", word.c_str());
            else
                l.values[key] = value;
        }
        if (kind == "unplug") {
            if (l.port() == 0)
                std::fprintf(stderr, "tolvex-sim: unplug needs a port=N\n");
            else
                sim::World::instance().unplugPortLater(l.port(), l.ms("at", 0));
            continue;
        }
        sim::DfuDeviceSpec dfu = sim::DfuDeviceSpec::twoAlternates();
        if (kind == "dfu") {
            dfu.product = l.text("product", dfu.product);
            dfu.serial = l.text("serial", dfu.serial);
            dfu.productId = uint16_t(std::strtoul(l.text("pid", "0x2A17").c_str(), nullptr, 0));
            if (l.text("alternates") == "1")
                dfu.alternates = sim::DfuDeviceSpec::oneAlternate().alternates;
            dfu.timing = timingOf(l);
            const auto model = std::make_shared<sim::DfuDeviceModel>(dfu);
            if (!l.text("layout").empty())
                model->setLayoutString(dfu.alternates.size() - 1, l.text("layout"));
            plugOnTime(model, l);
            continue;
        }
        sim::HidAppDeviceSpec app =
            l.text("family") == "8" ? sim::HidAppDeviceSpec::otterNine() : sim::HidAppDeviceSpec();
        app.product = l.text("product", app.product);
        app.serial = l.text("serial", app.serial);
        dfu.product = l.text("boot-product", app.product);
        dfu.serial = l.text("boot-serial", app.serial);
        dfu.timing = timingOf(l);
        // A real board is away a second or more while it restarts and its boot loader enumerates.
        const int restart = l.ms("restart", dfu.timing == sim::Timing::Realistic ? 1500 : 200);
        sim::Board board = sim::makeBoard(app, dfu, restart);
        board.app->setVersionText(l.text("version", "V1.0"));
        if (!l.text("layout").empty())
            board.dfu->setLayoutString(dfu.alternates.size() - 1, l.text("layout"));
        boards().push_back(board);
        plugOnTime(board.app, l);
    }
}

} // namespace
#endif

void tolvexSimLoadWorldOnce()
{
#ifdef TOLVEX_SIM_PRELOAD
    static std::once_flag once;
    std::call_once(once, [] {
        if (const char *path = std::getenv("TOLVEX_SIM_WORLD"))
            loadWorld(path);
    });
#endif
}
