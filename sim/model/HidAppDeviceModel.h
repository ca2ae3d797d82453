#pragma once

// A device in application mode: a HID device speaking the maker's command protocol. It
// reads its firmware version from the flash of its boot loader (the DFU-mode model), so
// that a download is seen in the version it reports afterwards.

#include "DfuDeviceModel.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>

namespace sim {

struct HidAppDeviceSpec
{
    uint16_t productId = 0x2A16;
    std::string manufacturer = "Corvantis";
    std::string product = "Tolvex Demo Board";
    std::string serial = "TVX-0001";
    // The OtterNINE family speaks in 8-byte reports only; the others take 16- and
    // 64-byte requests and answer in 16 or 64 bytes.
    bool shortReports = false;

    static HidAppDeviceSpec otterNine();
};

// Armed by tests and the demo; each count is used up by the requests or reads it hits.
struct HidFaults
{
    int noAnswer = 0;          // the next N requests are taken but never answered
    int wrongEcho = 0;         // the next N answers carry a wrong sequence echo
    int failStatus = 0;        // the next N answers carry status 0x01
    int readErrors = 0;        // the read for the answer to each of the next N requests fails
    bool unplugOnRequest = false; // the device drops off the bus as the next request arrives
    int lateAnswerMs = 0;      // the next answer is sent this long after its request
    int writeErrorAt = 0;      // the Nth output report from now (1: the next) fails to be written
};

class HidAppDeviceModel : public UsbDeviceModel
{
public:
    // Where the firmware keeps its version text: 9 bytes, unused ones 0 (or still erased).
    static constexpr uint32_t VersionTextAddress = 0x08000200;
    static constexpr size_t VersionTextLength = 9;

    HidAppDeviceModel(const HidAppDeviceSpec &setup, std::shared_ptr<DfuDeviceModel> bootLoader);

    // An output report from the host, byte 0 being the report identifier. False when the
    // device is gone.
    bool writeReport(const uint8_t *data, size_t size);
    // The next input report, at most `size` bytes of it: the bytes copied, 0 when none is
    // waiting, -1 on a read error or when the device is gone. Waits up to `timeoutMs`
    // for one (negative: for ever) before returning 0.
    int readReport(uint8_t *out, size_t size, int timeoutMs = 0);

    size_t reportSize() const { return setup.shortReports ? 8 : 64; }
    const HidAppDeviceSpec &setupOf() const { return setup; }
    std::shared_ptr<DfuDeviceModel> bootLoader() const { return loader; }

    // Every output report received, as written, and the sizes the host asked for in its reads.
    std::vector<std::vector<uint8_t>> requests() const;
    std::vector<size_t> readSizes() const;
    void clearRequests();
    // Queues an input report that no request asked for, as a device may send one late.
    void pushInputReport(const std::vector<uint8_t> &report);
    // The next requests are answered with these reports, as given, in order (an empty
    // one: no answer); then the device answers as usual again.
    void setScriptedAnswers(std::deque<std::vector<uint8_t>> reports);
    void setFaults(const HidFaults &faults);
    HidFaults pendingFaults() const;
    // Writes the version text into the boot loader's flash, as a firmware image would.
    void setVersionText(const std::string &text);
    std::string versionText() const;

    // Called, outside the device's lock, once the device has dropped off the bus to
    // start its boot loader.
    void setOnEnterDfu(std::function<void()> callback);

    std::vector<uint8_t> reportDescriptor() const;

protected:
    ControlResult classRequest(const SetupPacket &setup, uint8_t *data) override;
    void restart() override;

private:
    void answer(const uint8_t *request, size_t size);

    HidAppDeviceSpec setup;
    std::shared_ptr<DfuDeviceModel> loader;
    std::function<void()> onEnterDfu;
    std::vector<std::vector<uint8_t>> received;
    std::vector<size_t> reads;
    struct PendingAnswer
    {
        std::vector<uint8_t> report;
        std::chrono::steady_clock::time_point ready;
    };
    void queueAnswer(std::vector<uint8_t> report);
    std::deque<PendingAnswer> answers;
    std::deque<std::vector<uint8_t>> scripted;
    std::condition_variable answered;
    HidFaults faults;
    bool entryArmed = false;
    bool readErrorPending = false;
};

} // namespace sim
