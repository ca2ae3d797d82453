#pragma once

// What the tests of tolvex-dfu share: a run of the command in this process with its output
// kept, the JSON and CSV it writes read back (JSON against the installed schema), and a
// fresh working folder with a Config.ini for each test function.

#include "Bytes.h"
#include "Cli.h"
#include "DfuLink.h"
#include "Devices.h"
#include "Central.h"
#include "HeldLock.h"
#include "HistoryWriter.h"
#include "JsonSchema.h"
#include "FileSignature.h"
#include "Minisign.h"
#include "Output.h"
#include "ConfigCipher.h"
#include "ConfigFile.h"
#include "DfuFileFormat.h"
#include "OverlapFile.h"
#include "SimDfu.h"
#include "SimHid.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

constexpr uint32_t Flash = 0x08000000;

struct Run
{
    int exit = -1;
    QString out;
    QString err;
};

inline Run runCli(const QStringList &args, const std::atomic<bool> *interrupted = nullptr,
    const std::atomic<int> *signalCount = nullptr)
{
    Run r;
    cli::Io io;
    io.out = [&](const QString &t) { r.out += t; };
    io.err = [&](const QString &t) { r.err += t; };
    io.interrupted = interrupted;
    io.signalCount = signalCount;
    io.arrivalTimeoutMs = 5000;
    r.exit = cli::run(args, io);
    return r;
}

inline QList<QJsonObject> jsonLines(const QString &out)
{
    QList<QJsonObject> objects;
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        objects << QJsonDocument::fromJson(line.toUtf8()).object();
    return objects;
}

// What in --json output does not fit the installed schema: every line must be one object
// that does.
inline QString schemaMismatch(const QString &out)
{
    QFile f(QStringLiteral(TOLVEX_SCHEMA_FILE));
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("no schema file");
    const QJsonObject schema = QJsonDocument::fromJson(f.readAll()).object();
    const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.isEmpty())
        return QStringLiteral("no JSON at all");
    for (const QString &line : lines) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (!doc.isObject())
            return QStringLiteral("not one JSON object: ") + line;
        const QString m = jsonSchemaMismatch(doc.object(), schema, schema);
        if (!m.isEmpty())
            return m + QStringLiteral(" in ") + line;
    }
    return QString();
}

// Fields of one CSV line (RFC 4180: quoted fields, doubled quotes, line breaks inside quotes).
inline QList<QStringList> csvRows(const QString &text)
{
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < text.size() && text[i + 1] == QLatin1Char('"'))
                field += text[++i];
            else if (c == QLatin1Char('"'))
                quoted = false;
            else
                field += c;
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c == QLatin1Char(',')) {
            row << field;
            field.clear();
        } else if (c == QLatin1Char('\n')) {
            if (field.endsWith(QLatin1Char('\r')))
                field.chop(1);
            row << field;
            rows << row;
            row.clear();
            field.clear();
        } else {
            field += c;
        }
    }
    return rows;
}

// The working folder of each test function: a Config.ini permitting the two demo products,
// and .dfu files made there.
class CliTestBase : public QObject
{
protected:
    void setUpFolder()
    {
        dir = new QTemporaryDir;
        previous = QDir::currentPath();
        QDir::setCurrent(dir->path());
        ConfigCipher cipher(ConfigurationKey);
        QVERIFY(writeFile(file(QStringLiteral("Config.ini")),
            cipher.encryptBytes("Tolvex Demo Board,fw_main_v2\nOtterNINE Sensor,otter9_app\n")));
    }
    void tearDownFolder()
    {
        hidTransport.close();
        sim::World::instance().unplugAll();
        QDir::setCurrent(previous);
        delete dir;
        dir = nullptr;
    }
    QString file(const QString &name) const { return dir->filePath(name); }
    // A .dfu file with one image for alternate 1.
    QString dfuFile(const QString &name, const QByteArray &imageName, const QByteArray &data,
        quint16 productId = 0x2A17, quint16 release = 0x0200)
    {
        dfulib::Target t;
        t.alternate = 1;
        t.name = imageName.toStdString();
        t.elements.emplace_back(Flash, std::vector<uint8_t>(data.begin(), data.end()));
        std::vector<uint8_t> bytes;
        dfulib::buildFile(0x1209, productId, release, {t}, bytes);
        writeFile(file(name), QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())));
        return file(name);
    }

    QTemporaryDir *dir = nullptr;
    QString previous;
};
