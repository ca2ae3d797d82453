#include "HidAppDeviceModel.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sim {

namespace {

// The logs of a device left running for hours keep their recent part only.
template <typename T>
void logBounded(std::vector<T> &log, T entry)
{
    if (log.size() >= 4096)
        log.erase(log.begin(), log.begin() + 2048);
    log.push_back(std::move(entry));
}

// Output reports: header byte (the report identifier) and size.
struct ReportKind
{
    uint8_t outId;
    uint8_t inId;
    uint8_t size;
};
constexpr ReportKind ShortReport{0x04, 0x05, 8};
constexpr ReportKind StandardReport{0xA1, 0xA2, 16};
constexpr ReportKind LongReport{0xA3, 0xA4, 64};

enum Status : uint8_t { Success = 0, Failed = 0x01, UnknownCode = 0x02, NotArmed = 0x04 };

bool knownCode(uint8_t code)
{
    static const uint8_t codes[] = {0x10, 0x20, 0x21, 0x22, 0x23, 0x60, 0x61, 0x62, 0x66, 0x71, 0x80, 0x81,
                                    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x90, 0x91, 0x92,
                                    0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0xA0,
                                    0xE0, 0xE1};
    return std::find(std::begin(codes), std::end(codes), code) != std::end(codes);
}

// The commands whose answers fill a 64-byte report.
bool longAnswer(uint8_t code)
{
    static const uint8_t codes[] = {0x20, 0x60, 0x71, 0x80, 0x82, 0x83, 0x84, 0x85, 0x86, 0x92};
    return std::find(std::begin(codes), std::end(codes), code) != std::end(codes);
}

void appendReportItems(std::vector<uint8_t> &out, uint8_t id, uint8_t size, uint8_t mainItem)
{
    // Report ID, vendor usage, bytes 0..255, then size - 1 bytes after the identifier.
    out.insert(out.end(), {0x85, id, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95,
                           uint8_t(size - 1), mainItem, 0x02});
}

} // namespace

HidAppDeviceSpec HidAppDeviceSpec::otterNine()
{
    HidAppDeviceSpec setup;
    setup.productId = 0x2A18;
    setup.product = "OtterNINE Sensor";
    setup.serial = "TVX-0009";
    setup.shortReports = true;
    return setup;
}

HidAppDeviceModel::HidAppDeviceModel(const HidAppDeviceSpec &s, std::shared_ptr<DfuDeviceModel> bootLoader)
    : setup(s), loader(std::move(bootLoader))
{
    Identity id;
    id.productId = setup.productId;
    id.manufacturer = setup.manufacturer;
    id.product = setup.product;
    id.serial = setup.serial;
    setIdentity(id);

    const uint16_t descriptorLength = uint16_t(reportDescriptor().size());
    const uint8_t packet = uint8_t(reportSize());
    interfaceBytes = {9, 4, 0, 0, 2, 0x03, 0, 0, 0,
                      9, 0x21, 0x11, 0x01, 0, 1, 0x22, uint8_t(descriptorLength), uint8_t(descriptorLength >> 8),
                      7, 5, 0x81, 3, packet, 0, 1,
                      7, 5, 0x01, 3, packet, 0, 1};
}

std::vector<uint8_t> HidAppDeviceModel::reportDescriptor() const
{
    std::vector<uint8_t> out = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
    if (setup.shortReports) {
        appendReportItems(out, ShortReport.inId, ShortReport.size, 0x81);
        appendReportItems(out, ShortReport.outId, ShortReport.size, 0x91);
    } else {
        for (const ReportKind &k : {ShortReport, StandardReport, LongReport}) {
            appendReportItems(out, k.inId, k.size, 0x81);
            appendReportItems(out, k.outId, k.size, 0x91);
        }
    }
    out.push_back(0xC0);
    return out;
}

ControlResult HidAppDeviceModel::classRequest(const SetupPacket &setup, uint8_t *)
{
    // SET_IDLE is what hosts send on binding; reports travel on the interrupt endpoints.
    if (setup.type() == 1 && setup.bRequest == 0x0A)
        return ControlResult::ok(0);
    return ControlResult::stall();
}

void HidAppDeviceModel::restart()
{
    answers.clear();
    entryArmed = false;
    readErrorPending = false;
}

bool HidAppDeviceModel::writeReport(const uint8_t *data, size_t size)
{
    std::function<void()> leave;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!connected())
            return false;
        if (faults.writeErrorAt > 0 && --faults.writeErrorAt == 0)
            return false;
        logBounded(received, std::vector<uint8_t>(data, data + size));
        if (faults.unplugOnRequest) {
            faults.unplugOnRequest = false;
            disconnect();
            answered.notify_all();
            return true;
        }
        const bool leaves = size >= 5 && data[2] == 0xE1 && data[3] == 0x1E && data[4] == 0x55 && entryArmed;
        if (leaves) {
            disconnect();
            leave = onEnterDfu;
        } else {
            answer(data, size);
        }
    }
    if (leave)
        leave();
    return true;
}

void HidAppDeviceModel::answer(const uint8_t *request, size_t size)
{
    // A frame of the wrong size or header for this family, or with a bad complement, is
    // dropped as the firmware would drop it.
    const ReportKind *kind = nullptr;
    for (const ReportKind *k : {&ShortReport, &StandardReport, &LongReport}) {
        if (size == k->size && request[0] == k->outId)
            kind = k;
    }
    if (!scripted.empty()) {
        if (!scripted.front().empty())
            queueAnswer(std::move(scripted.front()));
        scripted.pop_front();
        return;
    }
    if (!kind || (setup.shortReports && kind != &ShortReport) || uint8_t(~request[2]) != request[3])
        return;
    if (faults.noAnswer > 0) {
        --faults.noAnswer;
        return;
    }
    if (faults.readErrors > 0) {
        --faults.readErrors;
        readErrorPending = true;
        return;
    }
    const uint8_t code = request[2];
    const ReportKind &reply = (kind == &ShortReport) ? ShortReport : longAnswer(code) ? LongReport : StandardReport;
    std::vector<uint8_t> out(reply.size, 0);
    out[0] = reply.inId;
    out[1] = request[1];
    if (faults.wrongEcho > 0) {
        --faults.wrongEcho;
        out[1] = uint8_t(request[1] + 0x80);
    }
    if (!knownCode(code)) {
        out[2] = UnknownCode;
    } else if (faults.failStatus > 0) {
        --faults.failStatus;
        out[2] = Failed;
    } else if (code == 0xE0) {
        entryArmed = request[4] == 0xAA;
        out[2] = entryArmed ? Success : Failed;
    } else if (code == 0xE1) {
        out[2] = NotArmed;
    } else if (code == 0x10 && loader && loader->alternateCount() > 0) {
        uint8_t text[VersionTextLength];
        if (loader->readMemory(loader->alternateCount() - 1, VersionTextAddress, text, sizeof text)) {
            // Still-erased cells hold no text.
            for (size_t i = 0; i < sizeof text; ++i)
                out[3 + i] = text[i] == 0xFF ? 0 : text[i];
        }
    }
    queueAnswer(std::move(out));
}

void HidAppDeviceModel::queueAnswer(std::vector<uint8_t> report)
{
    const auto ready = std::chrono::steady_clock::now() + std::chrono::milliseconds(faults.lateAnswerMs);
    faults.lateAnswerMs = 0;
    answers.push_back({std::move(report), ready});
    answered.notify_all();
}

int HidAppDeviceModel::readReport(uint8_t *out, size_t size, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    logBounded(reads, size);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (!connected())
            return -1;
        if (readErrorPending) {
            readErrorPending = false;
            return -1;
        }
        if (!answers.empty() && answers.front().ready <= std::chrono::steady_clock::now())
            break;
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= until)
            return 0;
        // Short slices: an unplug does not wake this wait.
        answered.wait_for(lock, std::chrono::milliseconds(10));
    }
    const std::vector<uint8_t> report = std::move(answers.front().report);
    answers.pop_front();
    const size_t n = std::min(size, report.size());
    std::memcpy(out, report.data(), n);
    return int(n);
}

std::vector<std::vector<uint8_t>> HidAppDeviceModel::requests() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

std::vector<size_t> HidAppDeviceModel::readSizes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return reads;
}

void HidAppDeviceModel::clearRequests()
{
    std::lock_guard<std::mutex> lock(mutex);
    received.clear();
    reads.clear();
}

void HidAppDeviceModel::pushInputReport(const std::vector<uint8_t> &report)
{
    std::lock_guard<std::mutex> lock(mutex);
    answers.push_back({report, std::chrono::steady_clock::now()});
    answered.notify_all();
}

void HidAppDeviceModel::setScriptedAnswers(std::deque<std::vector<uint8_t>> reports)
{
    std::lock_guard<std::mutex> lock(mutex);
    scripted = std::move(reports);
}

void HidAppDeviceModel::setFaults(const HidFaults &f)
{
    std::lock_guard<std::mutex> lock(mutex);
    faults = f;
}

HidFaults HidAppDeviceModel::pendingFaults() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return faults;
}

void HidAppDeviceModel::setVersionText(const std::string &text)
{
    if (!loader || loader->alternateCount() == 0)
        return;
    uint8_t bytes[VersionTextLength] = {};
    std::memcpy(bytes, text.data(), std::min(text.size(), sizeof bytes));
    loader->writeMemory(loader->alternateCount() - 1, VersionTextAddress, bytes, sizeof bytes);
}

std::string HidAppDeviceModel::versionText() const
{
    uint8_t bytes[VersionTextLength] = {};
    if (!loader || loader->alternateCount() == 0
        || !loader->readMemory(loader->alternateCount() - 1, VersionTextAddress, bytes, sizeof bytes))
        return {};
    std::string text;
    for (uint8_t b : bytes) {
        if (b != 0 && b != 0xFF)
            text.push_back(char(b));
    }
    return text;
}

void HidAppDeviceModel::setOnEnterDfu(std::function<void()> callback)
{
    std::lock_guard<std::mutex> lock(mutex);
    onEnterDfu = std::move(callback);
}

} // namespace sim
