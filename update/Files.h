#pragma once

// What can be checked before any board is touched: Config.ini, and the .dfu file against it.

#include "ConfigFile.h"
#include "DfuHandles.h"

#include <QString>

namespace update {

// Reads and decrypts Config.ini; false with `error` set.
bool loadConfiguration(const QString &path, ImageNameList &names, QString &error);

// Opens a .dfu file and checks it whole (sizes, CRC, and its signature where trusted keys
// are installed); false with `error` saying why. `signature` says what its signature is.
struct DfuFileInfo
{
    quint16 vendorId = 0;
    quint16 productId = 0;
    quint8 imageCount = 0;
    QString signature;
};
bool openDfuFile(const QString &path, dfu::File &file, DfuFileInfo &info, QString &error);

// The file reads whole with a right CRC, and some product of Config.ini permits the name of
// its first image (every image the road may choose is checked behind it, so a file that fails
// here fails on every board). The final check, with the name the board reports in DFU mode,
// comes when the board is there.
struct FileCheck
{
    bool ok = false;
    QString message;
    QString signature; // what its signature is: "not signed", "signed by key ..."
};
FileCheck checkFile(const QString &file, const ImageNameList &names);

} // namespace update
