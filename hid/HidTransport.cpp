#include "HidTransport.h"

HidTransport::~HidTransport()
{
    close();
}

void HidTransport::close()
{
    handle = nullptr;
}
