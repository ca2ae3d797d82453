// The process-wide objects, defined in one translation unit so that their order is
// fixed: resources first, then the HID link, then the DFU target; destroyed in reverse.

#include "DfuTarget.h"
#include "HidTransport.h"

#include <QtGlobal>

static void registerResources()
{
    Q_INIT_RESOURCE(tolvex);
}

static void unregisterResources()
{
    Q_CLEANUP_RESOURCE(tolvex);
}

namespace {
struct ResourceRegistration
{
    ResourceRegistration() { registerResources(); }
    ~ResourceRegistration() { unregisterResources(); }
};
const ResourceRegistration resourceRegistration;
} // namespace

HidTransport hidTransport;
DfuTarget dfuTarget;
