#pragma once

// Serves one simulated product to a real Linux kernel through its USB gadget framework, so
// that the real hidapi (hidraw) and libusb on the host side of the same kernel see it: in
// application mode as a configfs HID function, in DFU mode through gadgetfs with endpoint
// 0 answered by the DFU-mode model. Needs root, configfs mounted at /sys/kernel/config,
// gadgetfs at /dev/gadget, and the dummy_hcd UDC. Linux only; the device models stay
// transport-free.

#include "Board.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace sim {

class GadgetServer
{
public:
    explicit GadgetServer(Board board);
    ~GadgetServer();

    // Brings the product up in application mode. False, with `error()` set, on failure.
    bool start();
    void stop();
    const std::string &error() const { return failure; }
    // How many OUT data stages on endpoint 0 were overtaken by the host's next request
    // before they could be read, and so never reached the model.
    unsigned lostDataStageCount() const { return lostDataStages.load(); }

private:
    enum class Mode { None, Application, Dfu };

    void control();
    void removeGadget();
    bool bindHid();
    void unbindHid();
    void serveHid();
    bool openDfu();
    void serveDfu(int fd);
    void drainDfu(int fd);
    bool fail(const std::string &what);

    Board board;
    std::string udc;
    std::string gadgetDir;
    std::string failure;
    std::mutex mutex;
    std::condition_variable changed;
    Mode wanted = Mode::None;
    bool stopping = false;
    std::atomic<Mode> serving{Mode::None};
    std::atomic<unsigned> lostDataStages{0};
    std::thread controller;
};

} // namespace sim
