#pragma once

// Simulated DFU devices for the tests: plugging them in, and running one library
// operation to its end.

#include "DfuDeviceModel.h"
#include "World.h"
#include "dfulib.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QThread>

#include <cstring>
#include <memory>
#include <string>

struct SimDfuDevice
{
    std::shared_ptr<sim::DfuDeviceModel> model;
    std::string path;
    QString busAddress; // "BUS.ADDRESS", as the enumeration records give it
    uint8_t port = 0;
};

inline SimDfuDevice plugDfuDevice(const sim::DfuDeviceSpec &setup = sim::DfuDeviceSpec::twoAlternates())
{
    SimDfuDevice d;
    d.model = std::make_shared<sim::DfuDeviceModel>(setup);
    const sim::PluggedDevice plugged = sim::World::instance().plug(d.model);
    d.path = "usb:" + std::to_string(plugged.bus) + "-" + std::to_string(plugged.ports[0]) + ":1.0";
    d.busAddress = QStringLiteral("%1.%2").arg(plugged.bus).arg(plugged.address);
    d.port = plugged.ports[0];
    return d;
}

// The device's memory as tests see it; empty if the range is not all memory.
inline QByteArray memory(const SimDfuDevice &d, size_t alternate, uint32_t address, int size)
{
    QByteArray out(size, '\0');
    if (!d.model->readMemory(alternate, address, reinterpret_cast<uint8_t *>(out.data()), size_t(size)))
        return QByteArray();
    return out;
}

inline DfuOperationContext newContext(int32_t operation, DfuImageHandle image, const std::string &path)
{
    DfuOperationContext context;
    std::memset(&context, 0, sizeof context);
    context.operation = operation;
    context.image = image;
    std::strncpy(context.devicePath, path.c_str(), sizeof context.devicePath - 1);
    return context;
}

// Launches the operation and polls it until it ends (success, error, or the bound), then
// stops it and returns the final context. A refused launch comes back as the error status.
inline DfuOperationContext runOperation(int32_t operation, DfuImageHandle image, const std::string &path,
                                        int boundMs = 60000, int pollMs = 1, int32_t flag = 0)
{
    DfuOperationContext context = newContext(operation, image, path);
    context.flag = flag;
    uint32_t code = 0;
    const DfuStatus launched = DFUOPS_LaunchOperation(&context, &code);
    if (launched != DFU_OK) {
        context.errorStatus = launched;
        return context;
    }
    QElapsedTimer clock;
    clock.start();
    do {
        DFUOPS_GetOperationStatus(code, &context);
        if (context.errorStatus != DFU_OK || context.percent == 100)
            break;
        QThread::msleep(unsigned(pollMs));
    } while (clock.elapsed() < boundMs);
    DFUOPS_StopOperation(code, &context);
    return context;
}
