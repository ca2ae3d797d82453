#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Permitted firmware image names per product: one item per configuration line,
// field 0 the product name as a DFU-mode device reports it, field 1 its image name.
using ImageNameList = QList<QStringList>;

// The one key every Config.ini is encrypted with.
constexpr quint64 ConfigurationKey = 0x7C3E91A45D2B6F08ull;

// The file the window reads, relative to the working directory.
inline constexpr char ConfigurationFileName[] = "Config.ini";

// Splits decrypted configuration text into items: lines end at each line feed and
// the text after the last one is not read; fields are split at every comma and kept
// as they stand (no trimming, carriage returns kept, empty fields kept).
ImageNameList splitConfigurationText(const QString &text);

// The image name the list permits for a product: field 1 of the first item whose field 0 is
// the product exactly; empty when there is none (a line without an image name names nothing).
QString permittedImageName(const ImageNameList &list, const QString &product);

// Whether an image name passes: the permitted name contains it, letter case aside. Nothing
// passes an empty permitted name.
bool imageNamePermitted(const QString &permitted, const QString &imageName);

// The list in Qt's debug notation for nested lists: (("Alpha", "One"), ("Beta", "Two")).
QString imageNameListDebugText(const ImageNameList &list);

// Config.ini read and decrypted. The window ends without a readable file and runs on, with
// no product permitted, when it does not decrypt; tolvex-dfu refuses to update in both cases.
struct LoadedConfiguration
{
    enum Result { Loaded, Missing, Undecryptable };
    Result result = Missing;
    QString text; // the plain text (what the cipher gave, when it did not decrypt)
    ImageNameList names; // its items
    int cipherError = 0; // Undecryptable: the cipher's error code
    QString error; // for people, unless Loaded
};
LoadedConfiguration readConfiguration(const QString &path);
