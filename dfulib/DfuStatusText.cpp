#include "dfulib.h"

// One switch over the enum so that -Wswitch reports a code without its text.
static const char *statusText(DfuStatus status)
{
    switch (static_cast<DfuStatusCode>(status)) {
    case DFU_OK: return "success";
    case DFU_ERROR_INVALID_PARAMETER: return "invalid parameter";
    case DFU_ERROR_INVALID_HANDLE: return "unknown or released handle";
    case DFU_ERROR_OUT_OF_MEMORY: return "out of memory";
    case DFU_ERROR_FILE_OPEN: return "the file cannot be opened";
    case DFU_ERROR_FILE_NOT_DFU: return "not a .dfu file";
    case DFU_ERROR_FILE_PLAIN_DFU: return "a plain DFU file without the multi-image prefix, which this tool does not program";
    case DFU_ERROR_FILE_VERSION: return "unsupported .dfu file version";
    case DFU_ERROR_FILE_SUFFIX: return "bad .dfu file suffix";
    case DFU_ERROR_FILE_CRC: return "the .dfu file's CRC does not match (damaged file)";
    case DFU_ERROR_FILE_TRUNCATED: return "the .dfu file is truncated";
    case DFU_ERROR_FILE_TARGET: return "a target or element of the .dfu file is inconsistent";
    case DFU_ERROR_FILE_SIZE_MISMATCH: return "the .dfu file's sizes do not add up";
    case DFU_ERROR_FILE_WRITE: return "the file cannot be written";
    case DFU_ERROR_FILE_TOO_LARGE: return "the file is too large";
    case DFU_ERROR_IMAGE_INDEX: return "no image with that index";
    case DFU_ERROR_FILE_EXISTS: return "a file or a link of that name exists";
    case DFU_ERROR_NO_DEVICE: return "no such device";
    case DFU_ERROR_ACCESS: return "permission denied on the device";
    case DFU_ERROR_USB: return "USB error";
    case DFU_ERROR_DESCRIPTOR: return "missing or malformed descriptor";
    case DFU_ERROR_NOT_DFU: return "not a DFU interface";
    case DFU_ERROR_LAYOUT: return "malformed memory-layout string";
    case DFU_ERROR_PATH_TOO_LONG: return "device path too long";
    case DFU_ERROR_DEVICE_STATUS: return "the device reported an error";
    case DFU_ERROR_DEVICE_STATE: return "the device is in an unexpected state";
    case DFU_ERROR_DEVICE_BUSY: return "the device stayed busy too long";
    case DFU_ERROR_DEVICE_GONE: return "the device disappeared";
    case DFU_ERROR_VERIFY: return "verification failed: the memory differs from the image";
    case DFU_ERROR_ADDRESS: return "the image lies outside the device memory";
    case DFU_ERROR_NOT_WRITEABLE: return "the image touches memory that cannot be erased and written";
    case DFU_ERROR_STOPPED: return "the operation was stopped";
    case DFU_ERROR_OPERATION: return "unknown operation";
    case DFU_ERROR_NOT_FILTERED: return "the image was not prepared for this operation";
    case DFU_ERROR_STALL: return "the device refused a request";
    case DFU_ERROR_EMPTY_IMAGE: return "the image holds no data to program";
    case DFU_ERROR_CLAIMED: return "another program holds the device";
    case DFU_ERROR_NOT_LEFT: return "the device did not leave DFU mode";
    case DFU_ERROR_OVERLAP: return "two elements of the image overlap";
    case DFU_ERROR_NOT_READABLE: return "the memory there cannot be read back";
    }
    return nullptr;
}

const char *DFU_StatusText(DfuStatus status)
{
    const char *text = statusText(status);
    return text ? text : "unknown status";
}
