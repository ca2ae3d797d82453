// The world of a preloaded libusb stand-in: an unmodified libusb program cannot plug
// devices itself, so the shared build reads them from the file that TOLVEX_SIM_WORLD
// names, one device a line:
//   dfu [product=NAME] [serial=TEXT] [pid=0x2A17] [alternates=1|2] [timing=instant|realistic]
// Names may not contain blanks; an underscore stands for one. The static build, linked
// into our own tests and the demo, reads nothing: they plug their devices themselves.

#include "../World.h"
#include "../model/DfuDeviceModel.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#ifdef TOLVEX_SIM_PRELOAD
namespace {

void loadWorld(const char *path)
{
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "tolvex-sim: cannot read the world file %s\n", path);
        return;
    }
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind;
        if (!(words >> kind) || kind[0] == '#')
            continue;
        if (kind != "dfu") {
            std::fprintf(stderr, "tolvex-sim: unknown device kind '%s'\n", kind.c_str());
            continue;
        }
        sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::twoAlternates();
        std::string word;
        while (words >> word) {
            const size_t eq = word.find('=');
            const std::string key = word.substr(0, eq);
            std::string value = eq == std::string::npos ? std::string() : word.substr(eq + 1);
            for (char &c : value)
                if (c == '_')
                    c = ' ';
            if (key == "product")
                setup.product = value;
            else if (key == "serial")
                setup.serial = value;
            else if (key == "pid")
                setup.productId = uint16_t(std::strtoul(value.c_str(), nullptr, 0));
            else if (key == "alternates" && value == "1")
                setup.alternates = sim::DfuDeviceSpec::oneAlternate().alternates;
            else if (key == "timing")
                setup.timing = value == "realistic" ? sim::Timing::Realistic : sim::Timing::Instant;
            else
                std::fprintf(stderr, "tolvex-sim: unknown setting '%s'\n", word.c_str());
        }
        sim::World::instance().plug(std::make_shared<sim::DfuDeviceModel>(setup));
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
