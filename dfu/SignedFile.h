#pragma once

// The one read of a .dfu file that is to be written into a device: its bytes are read once,
// its signature is checked against the trusted keys when any are installed, and the same
// bytes are parsed; nothing can change the file between the check and the write.

#include "DfuHandles.h"
#include "FileSignature.h"

#include <QString>

struct SignedFile
{
    enum Result { Opened, NotDfu, SignatureRefused } result = NotDfu;
    DfuStatus status = DFU_OK;         // NotDfu: why the bytes are no .dfu file
    bool keysInstalled = false;        // the policy: with keys, only trusted files open
    dfu::SignatureCheck signature;
    quint16 vendorId = 0;
    quint16 productId = 0;
    quint16 release = 0;
    quint8 imageCount = 0;

    // Why it was refused, or what its signature is, for people.
    QString reason() const;
    // "not signed", or "signed by key ID (\"COMMENT\")", and whether that key is trusted.
    QString signatureText() const;
};

// Opens `path` into `file` (on Opened only).
SignedFile openSignedDfuFile(const QString &path, dfu::File &file);
