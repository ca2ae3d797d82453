// Reading a device's memory into an image, and sending the device back to its application.

#include "Operation_p.h"

namespace dfulib {

void Worker::upload(Link &link)
{
    uint64_t total = 0;
    for (const auto &p : op.image.uploadPlan)
        total += p.second;
    begin(DFU_PHASE_READ, total);
    std::vector<Element> elements;
    const Progress progress = [this](uint32_t n) { advance(n); };
    for (const auto &p : op.image.uploadPlan) {
        std::vector<uint8_t> bytes(p.second);
        link.read(p.first, bytes.data(), p.second, progress);
        elements.emplace_back(p.first, std::move(bytes));
    }
    // The caller's image receives what was read.
    images().with(op.imageHandle, [&](ImageData &d) { d.target.elements = std::move(elements); });
}

void Worker::leave(Link &link)
{
    begin(DFU_PHASE_LEAVE, 1);
    link.command(CommandSetAddress, op.image.layout.regionStarts.front());
    // Some devices restart on the zero-length download itself, before its status stage:
    // the host then sees the device vanish, which is the leave asked for.
    int r = link.transfer(RequestOut, Download, FirstDataBlock, nullptr, 0);
    if (r == LIBUSB_ERROR_NO_DEVICE || r == LIBUSB_ERROR_IO)
        return;
    if (r < 0)
        link.fail(r);
    // The device answers dfuMANIFEST, or has already dropped off the bus to start its
    // application: both mean it is leaving DFU mode.
    uint8_t answer[6];
    r = link.transfer(RequestIn, GetStatus, 0, answer, sizeof answer);
    StatusAnswer s;
    if (r < 0 || !parseStatusAnswer(answer, size_t(r), s))
        return;
    {
        std::lock_guard<std::mutex> lock(op.mutex);
        op.context.lastDeviceState = s.state;
        op.context.lastDeviceStatus = s.status;
    }
    if (s.state == StateError)
        link.deviceError(s);
    if (s.state == StateManifestWaitReset) {
        // It waits for the host's bus reset to start its application.
        r = libusb_reset_device(op.device->handle);
        if (r == LIBUSB_SUCCESS && !op.device->gone) {
            // Still there as the same device after the reset: it did not leave.
            throw Failure{DFU_ERROR_NOT_LEFT};
        }
        op.device->gone = true;
        return;
    }
    if (s.state != StateManifest && s.state != StateManifestSync)
        throw Failure{DFU_ERROR_NOT_LEFT};
}

} // namespace dfulib
