#pragma once

#include "Devices.h"

// The update history: one row per device per update, in an SQLite database that every
// support tool can read, written by the window, tolvex-dfu and its station alike.
//
// A row is written when the update starts (result "running") and completed when it ends, so
// a crash or an unplugged host leaves a row that says so. Several writers at once (a window,
// a station updating eight boards, a script) share the file through write-ahead logging and
// a busy timeout. A history that cannot be written is a warning, never a failed update; a
// damaged file is set aside with a warning and a new one started.

#include <QDateTime>
#include <QList>
#include <QString>

namespace update {

class History
{
public:
    // The schema this program writes; it opens files of every earlier one.
    static constexpr int SchemaVersion = 2;

    struct Record
    {
        qint64 id = -1;
        QDateTime started; // UTC
        QDateTime ended;   // UTC; null while running
        QString program;   // "window", "tolvex-dfu", "station"
        QString programVersion;
        QString host;
        QString product;
        QString serial; // the board's own: its application's where it has one
        QString bootSerial; // its boot loader's
        QString location;
        QString versionBefore; // empty: not known
        QString versionAfter;
        QString file;
        QString fileSha256;
        QString fileRelease; // the file's release as its suffix gives it ("1.02"); empty: not given
        QString imageName;
        int sectorsWritten = -1; // -1: not known
        int sectorsKept = -1;
        qint64 bytesVerified = -1;
        QString result = QStringLiteral("running"); // done, refused, failed, interrupted, up to date
        QString message;
        double seconds = 0;
    };

    // $XDG_STATE_HOME/tolvex-dfu/history.sqlite, or ~/.local/state/tolvex-dfu/history.sqlite.
    static QString defaultPath();

    // Opens (creating) the history at `path`; an empty path keeps none.
    explicit History(const QString &path);
    ~History();
    History(const History &) = delete;
    History &operator=(const History &) = delete;

    bool isOpen() const { return open; }
    // Writes the row of an update that starts; its id, -1 when it could not be written.
    qint64 begin(const Record &record);
    // The one serial the boot loader of the board `serial` has always shown; empty when none,
    // or several.
    QString bootSerialOf(const QString &serial) const;
    // The board's own serial of the last row at `location` whose boot loader showed
    // `bootSerial`, when that update left it in DFU mode (interrupted or failed): the board
    // most likely still there.
    QString serialLeftAt(const QString &location, const QString &bootSerial) const;
    // Completes the row `id` with what `record` says now.
    void finish(qint64 id, const Record &record);
    // The rows, oldest first: of one serial (when given) and since a time (when valid).
    QList<Record> rows(const QString &serial = QString(), const QDateTime &since = QDateTime()) const;

private:
    bool openAt(const QString &path);
    bool prepareSchema();

    QString connection;
    bool open = false;
};

// Each DFU-mode device that an update left there, as far as the history tells, gets its
// board's own serial (Device::appSerial).
void addKnownSerials(QList<Device> &devices, const History &history);

} // namespace update
