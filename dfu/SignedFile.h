#pragma once

// The one read of a .dfu file that is to be written into devices: its bytes are read once,
// its signature is checked against the trusted keys when any are installed, and the same
// bytes are parsed, hashed and written into every board of a run; a file rebuilt on disk
// meanwhile changes nothing of them.

#include "ConfigFile.h"
#include "Outcome.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

struct SignedFile
{
    enum Result { Opened, NotDfu, SignatureRefused } result = NotDfu;
    QString notDfu; // NotDfu: why the bytes are no .dfu file
    QString unreadable; // NotDfu: why the file itself was not read (not a regular file...)
    bool keysInstalled = false;        // the policy: with keys, only trusted files open
    QStringList keyProblems; // why the installed keys cannot be used: then nothing opens
    bool ownBackup = false; // let through unsigned as this machine's backup (asOwnBackup)
    // The signature beside it: none, one whose file is damaged, one a trusted key made, or
    // another (a key not trusted, bytes it does not match). Its key's id, its trusted comment
    // (escaped for display) and what the check found, in words.
    enum class Signature { None, Damaged, Trusted, Other } signature = Signature::None;
    QString signatureKey;
    QString signatureComment;
    QString signatureVerdict;
    quint16 vendorId = 0;
    quint16 productId = 0;
    quint16 release = 0;
    quint8 imageCount = 0;

    // Why it was refused, or what its signature is, for people.
    QString reason() const;
    // What was checked of its signature, and only that: "not signed", "signed by key ID
    // (\"COMMENT\"), trusted" when it verified, or why it was not checked or failed. The
    // comment is shown with control characters and broken UTF-8 escaped.
    QString signatureText() const;
};

// A .dfu file as it was read, once.
struct DfuFileBytes
{
    QString path;
    QByteArray bytes; // what was read (empty when it could not be)
    SignedFile check; // Opened: the bytes parse, and the signature policy lets them be written
    QString sha256; // of the bytes, in hexadecimal
    // Whether the file on disk is no longer what was read (another size or time, or gone).
    bool changedOnDisk() const;

    qint64 sizeRead = -1;
    qint64 modifiedNs = 0;
};
using SharedDfuFile = std::shared_ptr<const DfuFileBytes>;
// Reads and checks `path` (the trusted keys as installed now).
SharedDfuFile readDfuFile(const QString &path);
// The same bytes, refused only for their signature, let through as this machine's own backup
// (the administrator's restore policy allows it, and the caller has found it in the history):
// they open if they parse. Whoever writes them must still keep them to the board they came from.
SharedDfuFile asOwnBackup(const DfuFileBytes &file);

// What can be checked before any board is touched: the file reads whole with a right CRC (and
// its signature where trusted keys are installed), and some product of Config.ini permits the
// name of its first image (every image the road may choose is checked behind it, so a file
// that fails here fails on every board). The final check, with the name the board reports in
// DFU mode, comes when the board is there.
struct DfuFileCheck
{
    Outcome outcome; // Refused: why, naming the file
    QString signature; // what its signature is: "not signed", "signed by key ..."
    quint16 release = 0; // the suffix's bcdDevice
};
DfuFileCheck checkDfuFile(const DfuFileBytes &file, const ImageNameList &names);
// The machine's settings folder (/etc/tolvex-dfu, or the test build's own), where the
// administrator's files are; empty when there is none.
QString machineSettingsFolder();
// The test builds of the programs read the trusted keys from the folders of this
// colon-separated list (empty: none); the shipped programs read the machine's.
void setTrustedKeyFoldersFrom(const char *list);

// Whether this machine's own backups may be written back unsigned while a signature policy is
// in force: the administrator's restore-policy file in the settings folder ("signed-only", the
// default, or "own-backups"), taken only when root owns it and nobody else may write it.
struct RestorePolicy
{
    bool ownBackups = false;
    QString path; // where the file is, or would be
    Outcome taken; // Refused: why the file was not taken; Ok when it was, or is absent
};
RestorePolicy loadRestorePolicy();
