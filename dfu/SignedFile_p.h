#pragma once

// What dfu/ itself takes of a read file: the library's handle of its bytes.

#include "DfuHandles.h"
#include "SignedFile.h"

// The bytes parsed into `file`, for a file whose check is Opened.
DfuStatus openDfuBytes(const DfuFileBytes &source, dfulib::File &file);
