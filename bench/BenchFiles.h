#pragma once

// What the tool benchmarks update with: a Config.ini and a .dfu file of `size` bytes for the
// simulated "Tolvex Demo Board", firmware "V1.1" where the application reads its version, in
// the working folder.

#include "BenchFolder.h"
#include "ConfigCipher.h"
#include "ConfigFile.h"
#include "DfuFileFormat.h"
#include "HidAppDeviceModel.h"

#include <QFile>
#include <QString>

inline QString writeConfigAndFirmware(size_t size)
{
    ConfigCipher cipher(ConfigurationKey);
    QFile config(QStringLiteral("Config.ini"));
    if (!config.open(QIODevice::WriteOnly) || config.write(cipher.encryptBytes("Tolvex Demo Board,fw_main_v2\n")) < 0)
        return QString();
    config.close();
    dfulib::Target t;
    t.alternate = 1;
    t.name = "fw_main_v2";
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 31 + (i >> 11));
    const size_t version = sim::HidAppDeviceModel::VersionTextAddress - 0x08000000;
    if (version + 9 <= image.size())
        std::copy_n("V1.1\0\0\0\0\0", 9, image.begin() + long(version));
    t.elements.emplace_back(0x08000000, std::move(image));
    std::vector<uint8_t> bytes;
    dfulib::buildFile(0x1209, 0x2A17, 0x0200, {t}, bytes);
    QFile file(QStringLiteral("fw.dfu"));
    if (!file.open(QIODevice::WriteOnly)
        || file.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size())) != qint64(bytes.size()))
        return QString();
    return file.fileName();
}
