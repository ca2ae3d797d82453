#include "GadgetServer.h"

#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

// Reads and writes on ep0 that acknowledge or stall a request: gadgetfs reports a stall it
// was asked for as an error, so the result says nothing worth acting on.
void ep0Read(int fd, void *data, size_t size)
{
    if (::read(fd, data, size) < 0)
        return;
}

void ep0Write(int fd, const void *data, size_t size)
{
    if (::write(fd, data, size) < 0)
        return;
}

constexpr char ConfigFs[] = "/sys/kernel/config/usb_gadget/tolvex";
constexpr char GadgetFs[] = "/dev/gadget/";
constexpr int PollMs = 50;
// How long a product takes to restart in its other mode.
constexpr int RestartMs = 200;
// How long a DFU-mode device that left lets the host collect its last answer.
constexpr int LeaveDrainMs = 500;

bool writeFile(const std::string &path, const void *data, size_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, data, size) == ssize_t(size);
    ::close(fd);
    return ok;
}

bool writeText(const std::string &path, const std::string &text)
{
    return writeFile(path, text.data(), text.size());
}

std::string hex16(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFF);
    return text;
}

// The first entry of a folder whose name does not start with `skip` (empty: any).
std::string firstEntry(const char *folder, const char *skip = "")
{
    std::string name;
    if (DIR *d = ::opendir(folder)) {
        while (dirent *e = ::readdir(d)) {
            if (e->d_name[0] != '.' && (!*skip || std::strncmp(e->d_name, skip, std::strlen(skip)) != 0)) {
                name = e->d_name;
                break;
            }
        }
        ::closedir(d);
    }
    return name;
}

// The identity strings of a model, as its own string descriptors give them.
std::string stringOf(const UsbDeviceModel &model, uint8_t index)
{
    const std::vector<uint8_t> d = model.stringDescriptor(index);
    std::string text;
    for (size_t i = 2; i + 1 < d.size(); i += 2)
        text.push_back(char(d[i]));
    return text;
}

// Waits up to PollMs for `fd` to have something to read, then reads it. Returns what read
// returned, or 0 when nothing came, so that the serving loops can look at their mode again.
ssize_t readWhenReady(int fd, void *buffer, size_t size)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, PollMs) <= 0)
        return 0;
    return ::read(fd, buffer, size);
}

// gadgetfs queues an OUT request's data stage as soon as the setup arrives, and the
// controller ends the status stage by itself once the data is in; the host may then send its
// next request before this side has read the data, and gadgetfs drops it (EIDRM). The kernel
// offers no way to hold the status stage for a DFU interface here (FunctionFS refuses its
// functional descriptor before Linux 6.9). So the serving thread runs first: on the one
// processor of the emulated machine, a real-time thread woken by the setup runs before the
// host's process can send anything else, and reads the data stage before it can be overtaken.
void runBeforeTheHost()
{
    sched_param p{};
    p.sched_priority = sched_get_priority_max(SCHED_FIFO);
    if (const int e = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p))
        std::fprintf(
            stderr, "gadget: cannot serve at real-time priority (%s); data stages may be lost\n", std::strerror(e));
}

} // namespace

GadgetServer::GadgetServer(Board b) : board(std::move(b)) {}

GadgetServer::~GadgetServer()
{
    stop();
}

bool GadgetServer::fail(const std::string &what)
{
    failure = what + " (" + std::strerror(errno) + ")";
    std::fprintf(stderr, "gadget: %s\n", failure.c_str());
    return false;
}

void GadgetServer::removeGadget()
{
    // configfs items go in the reverse order of their making; what is not there fails.
    const std::string dir = ConfigFs;
    writeText(dir + "/UDC", "\n");
    ::unlink((dir + "/configs/c.1/hid.usb0").c_str());
    ::rmdir((dir + "/configs/c.1").c_str());
    ::rmdir((dir + "/functions/hid.usb0").c_str());
    ::rmdir((dir + "/strings/0x409").c_str());
    ::rmdir(dir.c_str());
}

bool GadgetServer::start()
{
    udc = firstEntry("/sys/class/udc");
    if (udc.empty())
        return fail("no USB device controller in /sys/class/udc");
    // A gadget left by an earlier run holds attributes that cannot change while linked.
    removeGadget();
    // The application-mode product as a configfs gadget with one HID function.
    const std::vector<uint8_t> device = board.app->deviceDescriptor();
    gadgetDir = ConfigFs;
    const std::string function = gadgetDir + "/functions/hid.usb0";
    const std::vector<uint8_t> report = board.app->reportDescriptor();
    if (::mkdir(gadgetDir.c_str(), 0755) != 0 && errno != EEXIST)
        return fail("cannot make " + gadgetDir);
    bool ok = writeText(gadgetDir + "/idVendor", hex16(device[8] | device[9] << 8))
              && writeText(gadgetDir + "/idProduct", hex16(device[10] | device[11] << 8))
              && writeText(gadgetDir + "/bcdDevice", hex16(device[12] | device[13] << 8));
    ::mkdir((gadgetDir + "/strings/0x409").c_str(), 0755);
    ok = ok && writeText(gadgetDir + "/strings/0x409/manufacturer", stringOf(*board.app, 1))
         && writeText(gadgetDir + "/strings/0x409/product", stringOf(*board.app, 2))
         && writeText(gadgetDir + "/strings/0x409/serialnumber", stringOf(*board.app, 3));
    ::mkdir(function.c_str(), 0755);
    ok = ok && writeText(function + "/protocol", "0") && writeText(function + "/subclass", "0")
         && writeText(function + "/report_length", std::to_string(board.app->reportSize()))
         && writeFile(function + "/report_desc", report.data(), report.size());
    ::mkdir((gadgetDir + "/configs/c.1").c_str(), 0755);
    const std::string link = gadgetDir + "/configs/c.1/hid.usb0";
    if (::symlink(function.c_str(), link.c_str()) != 0 && errno != EEXIST)
        ok = false;
    if (!ok)
        return fail("cannot set up the HID gadget in " + gadgetDir);

    board.app->setOnEnterDfu([this] {
        std::lock_guard<std::mutex> lock(mutex);
        wanted = Mode::Dfu;
        changed.notify_all();
    });
    board.dfu->setOnLeave([this] {
        std::lock_guard<std::mutex> lock(mutex);
        wanted = Mode::Application;
        changed.notify_all();
    });
    {
        std::lock_guard<std::mutex> lock(mutex);
        wanted = Mode::Application;
        stopping = false;
    }
    controller = std::thread([this] { control(); });
    return true;
}

void GadgetServer::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        changed.notify_all();
    }
    if (controller.joinable()) {
        controller.join();
        removeGadget();
    }
}

// Runs one mode at a time on the single controller: the serving thread of a mode ends
// when `serving` changes, then the other mode is brought up after a restart delay.
void GadgetServer::control()
{
    std::thread worker;
    for (;;) {
        Mode next;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return stopping || wanted != serving.load(); });
            next = stopping ? Mode::None : wanted;
        }
        const Mode previous = serving.exchange(Mode::None);
        if (worker.joinable())
            worker.join();
        if (previous == Mode::Application)
            unbindHid();
        if (next == Mode::None)
            return;
        if (previous != Mode::None)
            std::this_thread::sleep_for(std::chrono::milliseconds(RestartMs));
        if (next == Mode::Application) {
            board.app->attach();
            if (!bindHid())
                return;
            serving = Mode::Application;
            worker = std::thread([this] { serveHid(); });
        } else {
            board.dfu->attach();
            serving = Mode::Dfu;
            worker = std::thread([this] {
                runBeforeTheHost();
                openDfu();
            });
        }
    }
}

bool GadgetServer::bindHid()
{
    if (!writeText(gadgetDir + "/UDC", udc))
        return fail("cannot bind the HID gadget to " + udc);
    return true;
}

void GadgetServer::unbindHid()
{
    writeText(gadgetDir + "/UDC", "\n");
}

void GadgetServer::serveHid()
{
    int fd = -1;
    // The function's device node appears once the gadget is bound.
    for (int i = 0; i < 100 && fd < 0 && serving == Mode::Application; ++i) {
        fd = ::open("/dev/hidg0", O_RDWR);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (fd < 0) {
        fail("cannot open /dev/hidg0");
        return;
    }
    uint8_t request[64];
    uint8_t answer[64];
    while (serving == Mode::Application) {
        const ssize_t n = readWhenReady(fd, request, sizeof request);
        if (n <= 0)
            continue;
        board.app->writeReport(request, size_t(n));
        int got;
        while ((got = board.app->readReport(answer, sizeof answer, 0)) > 0) {
            if (::write(fd, answer, size_t(got)) != got)
                std::fprintf(stderr, "gadget: an input report was not sent (%s)\n", std::strerror(errno));
        }
    }
    ::close(fd);
}

bool GadgetServer::openDfu()
{
    // gadgetfs names its device file after the controller's driver, not the controller.
    const std::string chip = firstEntry(GadgetFs, "ep");
    const std::string path = GadgetFs + chip;
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0)
        return fail("cannot open " + path + " (is gadgetfs mounted at /dev/gadget?)");
    // Tag 0, the configuration for full and for high speed, the device descriptor.
    std::vector<uint8_t> setup(4, 0);
    const std::vector<uint8_t> config = board.dfu->configDescriptor();
    const std::vector<uint8_t> device = board.dfu->deviceDescriptor();
    setup.insert(setup.end(), config.begin(), config.end());
    setup.insert(setup.end(), config.begin(), config.end());
    setup.insert(setup.end(), device.begin(), device.end());
    if (::write(fd, setup.data(), setup.size()) != ssize_t(setup.size())) {
        ::close(fd);
        return fail("gadgetfs refused the DFU-mode descriptors");
    }
    serveDfu(fd);
    drainDfu(fd);
    // Closing the file takes the device off the bus.
    ::close(fd);
    return true;
}

void GadgetServer::drainDfu(int fd)
{
    // The last answer (the status that starts the application) is still queued on
    // endpoint 0 until the host reads it. Closing gadgetfs with a request pending crashes
    // this kernel (gadgetfs's ep0_complete runs on a gadget already unbound, a NULL
    // dereference seen in 2 of 5 runs), so the host gets time to take it, and any newer
    // request is refused at once, which leaves nothing pending.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(LeaveDrainMs);
    usb_gadgetfs_event events[5];
    uint8_t data[4096];
    while (std::chrono::steady_clock::now() < until) {
        const ssize_t n = readWhenReady(fd, events, sizeof events);
        for (ssize_t i = 0; n > 0 && i < n / ssize_t(sizeof events[0]); ++i) {
            if (events[i].type != GADGETFS_SETUP)
                continue;
            const usb_ctrlrequest &c = events[i].u.setup;
            if (c.bRequestType & USB_DIR_IN)
                ep0Read(fd, nullptr, 0);
            else if (le16toh(c.wLength) == 0)
                ep0Write(fd, nullptr, 0);
            else
                ep0Read(fd, data, sizeof data); // a data stage cannot be refused, only taken
        }
    }
}

void GadgetServer::serveDfu(int fd)
{
    usb_gadgetfs_event events[5];
    while (serving == Mode::Dfu) {
        const ssize_t n = readWhenReady(fd, events, sizeof events);
        if (n < ssize_t(sizeof events[0]))
            continue;
        for (size_t i = 0; i < size_t(n) / sizeof events[0]; ++i) {
            if (events[i].type != GADGETFS_SETUP)
                continue;
            const usb_ctrlrequest &c = events[i].u.setup;
            SetupPacket s;
            s.bmRequestType = c.bRequestType;
            s.bRequest = c.bRequest;
            s.wValue = le16toh(c.wValue);
            s.wIndex = le16toh(c.wIndex);
            s.wLength = le16toh(c.wLength);
            std::vector<uint8_t> data(s.wLength);
            if (!s.isIn() && s.wLength > 0) {
                // The data stage comes on a read of its own (see runBeforeTheHost). Should
                // the host's next request overtake it all the same, this read fails (EIDRM)
                // and the data is gone; reading again would stall that next request
                // (EL2HLT), so the loss is counted, and the checks fail on any.
                ssize_t got;
                do
                    got = ::read(fd, data.data(), data.size());
                while (got < 0 && errno == EINTR);
                if (got < 0) {
                    ++lostDataStages;
                    std::fprintf(stderr, "gadget: the data stage of request 0x%02X (value %u) was lost: %s\n",
                                 s.bRequest, s.wValue, std::strerror(errno));
                    continue;
                }
                data.resize(size_t(got));
                s.wLength = uint16_t(got);
            }
            const ControlResult r = board.dfu->control(s, data.data());
            if (std::getenv("TOLVEX_GADGET_TRACE"))
                std::fprintf(stderr, "gadget: %02X %02X %04X %04X %u -> %d %zu state %u\n", s.bmRequestType, s.bRequest,
                             s.wValue, s.wIndex, s.wLength, int(r.outcome), r.length, board.dfu->state());
            if (r.outcome == ControlResult::Disconnected)
                return;
            if (r.outcome == ControlResult::Stall)
                std::fprintf(stderr, "gadget: request %02X %02X value %04X index %04X length %u stalled%s\n",
                             s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength,
                             !s.isIn() && s.wLength ? " (after its data stage: the host cannot see it)" : "");
            if (s.isIn()) {
                if (r.outcome == ControlResult::Ok)
                    ep0Write(fd, data.data(), r.length);
                else
                    ep0Read(fd, nullptr, 0); // a read in an IN request stalls it
            } else if (s.wLength == 0) {
                if (r.outcome == ControlResult::Ok)
                    ep0Read(fd, nullptr, 0); // acknowledges
                else
                    ep0Write(fd, nullptr, 0); // a write in an OUT request stalls it
            }
            if (!board.dfu->connected())
                return;
        }
    }
}

} // namespace sim
