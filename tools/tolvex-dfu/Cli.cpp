#include "Cli.h"

#include "ConfigCipher.h"
#include "ConfigFile.h"
#include "DfuEntryCommandSet.h"
#include "DfuTarget.h"
#include "HidTransport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>

#include <memory>
#include <optional>

namespace cli {

namespace {

const char Manufacturer[] = "Corvantis";
const char ShortFrameFamily[] = "OtterNINE";
constexpr int PollMs = 20;

const char MainUsage[] =
    "usage: tolvex-dfu COMMAND [OPTIONS]\n"
    "\n"
    "Updates the firmware of Corvantis USB devices from a terminal.\n"
    "\n"
    "commands:\n"
    "  list        devices in application mode and in DFU mode\n"
    "  update      the whole update of one device, or of all: into DFU mode, erase, write,\n"
    "              verify, back to the application\n"
    "  upload      the device memory into a .dfu file\n"
    "  enter-dfu   send devices in application mode into DFU mode\n"
    "  leave       send devices in DFU mode back to their application\n"
    "\n"
    "tolvex-dfu COMMAND --help tells more; --version prints the version.\n"
    "\n"
    "exit codes: 0 all done, 1 an operation failed on a device, 2 usage, 3 file refused\n"
    "(unreadable, damaged, image name not permitted), 4 no device, or a device did not come\n"
    "back in time, 130 interrupted.\n";

const char SelectionHelp[] =
    "  --device WHERE  the device plugged in at WHERE (BUS-PORT.PORT..., as 'list' shows)\n"
    "  --serial S      the device whose serial number is S\n";

const char ListUsage[] =
    "usage: tolvex-dfu list [--json] [--config PATH]\n"
    "\n"
    "Lists the devices in application mode (product, family, firmware version, where they\n"
    "are plugged) and in DFU mode (product, serial, where, alternates with their memory\n"
    "layouts, and the image name Config.ini permits for them).\n"
    "  --json         one JSON object\n"
    "  --config PATH  Config.ini to read (default: Config.ini in the working folder)\n"
    "  --verbose      the libraries' diagnostics too\n";

const char UpdateUsage[] =
    "usage: tolvex-dfu update FILE.dfu [--device WHERE | --serial S | --all] [--config PATH]\n"
    "                         [--stay] [--strict-timing] [--full] [--json] [--verbose]\n"
    "\n"
    "Sends the device into DFU mode if it is in application mode, checks the file's image\n"
    "names against Config.ini, erases the sectors the image touches, writes and verifies it,\n"
    "sends the device back to its application and prints the old and the new firmware\n"
    "version. With one device connected no selection is needed.\n"
    "  --all            every connected device, all at the same time\n"
    "  --config PATH    Config.ini to read (default: Config.ini in the working folder)\n"
    "  --stay           leave the device in DFU mode afterwards\n"
    "  --strict-timing  wait out every poll timeout the device reports\n"
    "  --full           erase and write every sector the image touches, even those that\n"
    "                   already hold what it wants (by default they are read and left)\n"
    "  --json           one JSON object per line: progress events and a result per device\n"
    "  --verbose        the libraries' diagnostics too\n"
    "Ctrl-C stops between two transfers and leaves the device in DFU mode.\n";

const char UploadUsage[] =
    "usage: tolvex-dfu upload OUT.dfu [--device WHERE | --serial S] [--json] [--verbose]\n"
    "\n"
    "Reads the memory of the last alternate of a device in DFU mode into a .dfu file.\n";

const char EnterUsage[] =
    "usage: tolvex-dfu enter-dfu [--device WHERE | --serial S | --all] [--json] [--verbose]\n"
    "\n"
    "Sends devices in application mode into DFU mode and waits until they are there.\n";

const char LeaveUsage[] =
    "usage: tolvex-dfu leave [--device WHERE | --serial S | --all] [--json] [--verbose]\n"
    "\n"
    "Sends devices in DFU mode back to their application and waits until they answer.\n";

// ---- options -------------------------------------------------------------------------

struct Options
{
    QStringList positional;
    QString device;
    QString serial;
    QString config = QString::fromLatin1(ConfigurationFileName);
    bool all = false;
    bool json = false;
    bool stay = false;
    bool strictTiming = false;
    bool full = false;
    bool help = false;
};

// Parses the options a command allows; false with `error` set on anything else.
bool parseOptions(const QStringList &args, const QStringList &allowed, Options &o, QString &error)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const auto value = [&](QString &into) {
            if (i + 1 >= args.size()) {
                error = a + QStringLiteral(" needs a value");
                return false;
            }
            into = args.at(++i);
            return true;
        };
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            o.help = true;
        } else if (!a.startsWith(QLatin1String("--")) || a == QLatin1String("--")) {
            o.positional << a;
        } else if (!allowed.contains(a)) {
            error = QStringLiteral("unknown option %1").arg(a);
            return false;
        } else if (a == QLatin1String("--device")) {
            if (!value(o.device))
                return false;
        } else if (a == QLatin1String("--serial")) {
            if (!value(o.serial))
                return false;
        } else if (a == QLatin1String("--config")) {
            if (!value(o.config))
                return false;
        } else if (a == QLatin1String("--all")) {
            o.all = true;
        } else if (a == QLatin1String("--json")) {
            o.json = true;
        } else if (a == QLatin1String("--stay")) {
            o.stay = true;
        } else if (a == QLatin1String("--strict-timing")) {
            o.strictTiming = true;
        } else if (a == QLatin1String("--full")) {
            o.full = true;
        }
    }
    if (int(!o.device.isEmpty()) + int(!o.serial.isEmpty()) + int(o.all) > 1)
        error = QStringLiteral("--device, --serial and --all exclude each other");
    return error.isEmpty();
}

// ---- devices -------------------------------------------------------------------------

struct Device
{
    bool dfuMode = false;
    QString product;
    QString serial;
    QString path;
    QString location;
    QString name() const { return product + QStringLiteral(" at ") + location; }
};

QList<Device> appDevices()
{
    QList<Device> out;
    for (const QStringList &r : hidTransport.enumerate(QString::fromLatin1(Manufacturer)))
        out.append({false, r.value(1), r.value(3), r.value(2), hidLocation(r.value(2))});
    return out;
}

QList<Device> dfuDevices()
{
    QList<Device> out;
    for (const DfuDeviceRecord &r : enumerateDfuDevices(QString::fromLatin1(Manufacturer), QString()))
        out.append({true, r.value(1), r.value(2), r.value(3), dfuLocation(r.value(3))});
    return out;
}

std::optional<Device> deviceAt(const QList<Device> &devices, const QString &location)
{
    for (const Device &d : devices) {
        if (!location.isEmpty() && d.location == location)
            return d;
    }
    return std::nullopt;
}

bool shortFrames(const Device &d)
{
    return d.product.contains(QLatin1String(ShortFrameFamily));
}

const char NoPermissionHint[] = "it cannot be opened (without permission, install the udev rules: "
                                "packaging/70-tolvex-dfu.rules, and replug it)";

// The firmware version an application-mode device reports; `answered` false when it did not,
// and `opened` false when it could not even be opened.
QString queryVersion(const Device &d, bool &answered, bool *opened = nullptr)
{
    answered = false;
    const bool open = hidTransport.open(d.path);
    if (opened)
        *opened = open;
    if (!open)
        return QString();
    HidCommandSet commands(0x5A);
    QString version;
    if (shortFrames(d)) {
        // This family answers the check but reports no version.
        answered = commands.command66()[HidCommandFrame::StatusByte] == 0;
    } else {
        const HidAnswer answer = commands.command10();
        answered = answer[HidCommandFrame::StatusByte] == 0;
        version = answered ? versionTextFromAnswer(answer) : QString();
    }
    hidTransport.close();
    return version;
}

bool enterDfu(const Device &d)
{
    if (!hidTransport.open(d.path))
        return false;
    DfuEntryCommandSet entry(0xA5);
    const bool entered = shortFrames(d) ? entry.enterDfuModeShort() : entry.enterDfuMode();
    hidTransport.close();
    return entered;
}

QString mappingText(const DfuDeviceFacts &facts, QJsonArray *json)
{
    QStringList lines;
    for (quint32 i = 0; i < facts.alternateCount; ++i) {
        char layout[512];
        DFUOPS_GetMappingLayout(&facts.mapping[i], layout, sizeof layout);
        lines << QStringLiteral("      alternate %1 \"%2\" %3")
                     .arg(facts.mapping[i].alternate)
                     .arg(QString::fromLatin1(facts.mapping[i].name), QString::fromLatin1(layout));
        if (json)
            json->append(QJsonObject{{QStringLiteral("alternate"), facts.mapping[i].alternate},
                                     {QStringLiteral("name"), QString::fromLatin1(facts.mapping[i].name)},
                                     {QStringLiteral("layout"), QString::fromLatin1(layout)}});
    }
    return lines.join(QLatin1Char('\n'));
}

void closeFacts(DfuDeviceFacts &facts)
{
    if (facts.handle)
        DFUDEV_Close(&facts.handle);
    DFUOPS_ReleaseMapping(facts.mapping);
    facts = DfuDeviceFacts();
}

QString openFailure(int code)
{
    switch (code) {
    case DfuTarget::VersionNotSupported: return QStringLiteral("it speaks a DFU version this tool does not");
    case DfuTarget::NoMapping: return QStringLiteral("its memory layout cannot be read");
    default:
        return QString::fromLatin1(NoPermissionHint);
    }
}

bool loadConfig(const QString &path, ImageNameList &list, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    ConfigCipher cipher(ConfigurationKey);
    const QString text = cipher.decryptBytesToText(file.readAll());
    if (cipher.lastError() != ConfigCipher::CipherOk) {
        error = QStringLiteral("%1 does not decrypt: it is damaged or not a Config.ini").arg(path);
        return false;
    }
    list = splitConfigurationText(text);
    return true;
}

// ---- output --------------------------------------------------------------------------

class Reporter
{
public:
    Reporter(const Io &io, bool json) : io(io), json(json) {}

    void line(const QString &text)
    {
        clearLive();
        io.out(text + QLatin1Char('\n'));
    }
    void problem(const QString &text)
    {
        clearLive();
        io.err(QStringLiteral("tolvex-dfu: ") + text + QLatin1Char('\n'));
    }
    void event(const QJsonObject &o)
    {
        io.out(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    }
    bool jsonOutput() const { return json; }

    // One device's progress: on a terminal in place, elsewhere a line per phase and per 10 %.
    void progress(const QString &device, const QString &phase, int percent, quint32 done, quint32 total,
                  qint64 elapsedMs)
    {
        State &s = states[device];
        if (json) {
            if (s.phase != phase || percent / 10 != s.percent / 10)
                event({{QStringLiteral("event"), QStringLiteral("progress")},
                       {QStringLiteral("device"), device},
                       {QStringLiteral("phase"), phase},
                       {QStringLiteral("percent"), percent},
                       {QStringLiteral("bytes"), qint64(done)},
                       {QStringLiteral("total"), qint64(total)}});
        } else if (!io.terminal) {
            if (s.phase != phase || percent / 10 != s.percent / 10)
                io.out(QStringLiteral("%1: %2 %3%\n").arg(device, phase).arg(percent));
        } else {
            QString text = QStringLiteral("%1  %2 %3%").arg(device, phase).arg(percent, 3);
            if (total > 0)
                text += QStringLiteral("  %1/%2 KiB").arg(done / 1024).arg(total / 1024);
            if (elapsedMs > 500 && done > 0) {
                const double rate = double(done) / (double(elapsedMs) / 1000.0);
                text += QStringLiteral("  %1 KiB/s").arg(int(rate / 1024));
                if (total > done)
                    text += QStringLiteral("  %1 s left").arg(int((total - done) / rate) + 1);
            }
            s.live = text;
            QStringList parts;
            for (const State &other : qAsConst(states))
                if (!other.live.isEmpty())
                    parts << other.live;
            io.out(QStringLiteral("\r\033[K") + parts.join(QStringLiteral(" | ")));
            live = true;
        }
        s.phase = phase;
        s.percent = percent;
    }
    void finished(const QString &device)
    {
        states[device].live.clear();
    }

private:
    struct State
    {
        QString phase;
        int percent = -1;
        QString live;
    };
    void clearLive()
    {
        if (live)
            io.out(QStringLiteral("\r\033[K"));
        live = false;
    }

    const Io &io;
    bool json;
    bool live = false;
    QMap<QString, State> states;
};

bool interrupted(const Io &io)
{
    return io.interrupted && io.interrupted->load();
}

// Waits, with events running, for a device of the wanted mode at `location`.
std::optional<Device> waitFor(bool dfuMode, const QString &location, const Io &io)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < io.arrivalTimeoutMs && !interrupted(io)) {
        if (auto d = deviceAt(dfuMode ? dfuDevices() : appDevices(), location))
            return d;
        QCoreApplication::processEvents();
        QThread::msleep(50);
    }
    return std::nullopt;
}

// Selects the devices a command works on. `devices` are all present; an empty result has
// set `exit` and said why.
QList<Device> select(const QList<Device> &devices, const Options &o, Reporter &r, int &exit)
{
    QList<Device> chosen;
    for (const Device &d : devices) {
        if ((!o.device.isEmpty() && d.location != o.device) || (!o.serial.isEmpty() && d.serial != o.serial))
            continue;
        chosen.append(d);
    }
    exit = ExitDone;
    if (chosen.isEmpty()) {
        r.problem(devices.isEmpty() ? QStringLiteral("no Corvantis device is connected (tolvex-dfu list shows what is)")
                                    : QStringLiteral("no connected device fits the selection (tolvex-dfu list shows "
                                                     "what is connected)"));
        exit = ExitNoDevice;
    } else if (chosen.size() > 1 && !o.all && o.serial.isEmpty() && o.device.isEmpty()) {
        QStringList names;
        for (const Device &d : chosen)
            names << d.name();
        r.problem(QStringLiteral("%1 devices are connected (%2): say which with --device or --serial, or --all")
                      .arg(chosen.size())
                      .arg(names.join(QStringLiteral(", "))));
        exit = ExitUsage;
        chosen.clear();
    } else if (chosen.size() > 1 && !o.all) {
        chosen = chosen.mid(0, 1);
    }
    return chosen;
}

// ---- one device's update ---------------------------------------------------------------

struct Job
{
    Device device;
    QString oldVersion = QStringLiteral("?");
    QString newVersion;
    enum Result { Running, Done, Failed, Refused, Missing, Interrupted } result = Running;
    QString message;
    QElapsedTimer clock;

    enum Step { WaitDfu, Download, Return, WaitApp, Over } step = WaitDfu;
    QString dfuPath;
    DfuDeviceFacts facts;
    DfuImageHandle writeImage = 0, returnImage = 0;
    int32_t flag = 0; // DFU_FLAG_* of the download
    uint32_t operation = 0;
    bool operationRunning = false;

    void end(Result r, const QString &text)
    {
        result = r;
        message = text;
        step = Over;
    }
    void release()
    {
        if (operationRunning) {
            DFUOPS_StopOperation(operation, nullptr);
            operationRunning = false;
        }
        for (DfuImageHandle *h : {&writeImage, &returnImage}) {
            if (*h)
                DFUFILES_DestroyImage(h);
        }
        closeFacts(facts);
    }
};

const char *resultName(Job::Result r)
{
    switch (r) {
    case Job::Done: return "done";
    case Job::Failed: return "failed";
    case Job::Refused: return "refused";
    case Job::Missing: return "missing";
    case Job::Interrupted: return "interrupted";
    case Job::Running: break;
    }
    return "running";
}

bool launch(Job &job, int32_t operation, DfuImageHandle image, Reporter &r)
{
    DfuOperationContext c{};
    c.operation = operation;
    c.flag = job.flag;
    c.image = image;
    const QByteArray path = job.dfuPath.toLocal8Bit();
    qstrncpy(c.devicePath, path.constData(), sizeof c.devicePath);
    const DfuStatus s = DFUOPS_LaunchOperation(&c, &job.operation);
    job.operationRunning = s == DFU_OK;
    if (!job.operationRunning) {
        job.end(Job::Failed, s == DFU_ERROR_CLAIMED
                                 ? QStringLiteral("another program holds the device; close it and try again")
                                 : QStringLiteral("cannot start: %1").arg(QString::fromLatin1(DFU_StatusText(s))));
        r.problem(job.device.name() + QStringLiteral(": ") + job.message);
    }
    return job.operationRunning;
}

// Polls the running operation; true once it has ended well.
bool operationDone(Job &job, const QString &phaseName, Reporter &r)
{
    DfuOperationContext c{};
    DFUOPS_GetOperationStatus(job.operation, &c);
    // A download names its phase from what the library reports (verify is shown with the write).
    const QString phase = phaseName.isEmpty() ? QLatin1String(c.phase <= DFU_PHASE_ERASE ? "erase" : "write") : phaseName;
    const DfuStatus status = c.errorStatus;
    const int percent = c.percent;
    if (status == DFU_OK && percent < 100) {
        r.progress(job.device.location, phase, percent, c.bytesDone, c.bytesTotal, c.elapsedMs);
        return false;
    }
    DFUOPS_StopOperation(job.operation, &c);
    job.operationRunning = false;
    if (status != DFU_OK) {
        const uint32_t address = c.failedAddress;
        job.end(Job::Failed, QStringLiteral("%1 failed: %2 (at 0x%3); the device stays in DFU mode, "
                                            "run the update again")
                                 .arg(phase, QString::fromLatin1(DFU_StatusText(status)))
                                 .arg(address, 8, 16, QLatin1Char('0')));
        r.problem(job.device.name() + QStringLiteral(": ") + job.message);
        return false;
    }
    r.progress(job.device.location, phase, 100, c.bytesTotal, c.bytesTotal, c.elapsedMs);
    return true;
}

// Polls a launched operation to its end, for the commands that run one operation alone.
// Done, Failed (said already), or Interrupted (the operation stopped between transfers).
Job::Result finish(Job &job, const QString &phase, Reporter &r, const Io &io)
{
    while (!operationDone(job, phase, r)) {
        if (job.step == Job::Over)
            return Job::Failed;
        if (interrupted(io)) {
            job.release();
            return Job::Interrupted;
        }
        QThread::msleep(PollMs);
    }
    return Job::Done;
}

// Opens the device in DFU mode, checks the file against Config.ini, prepares its images.
void prepare(Job &job, const QString &file, const ImageNameList &names, Reporter &r)
{
    const int opened = openDfuDevice(job.dfuPath, job.facts);
    if (opened != DfuTarget::Connected) {
        job.end(Job::Failed, openFailure(opened));
        r.problem(job.device.name() + QStringLiteral(": ") + job.message);
        return;
    }
    const QString permitted = permittedImageName(names, job.device.product);
    DfuFileHandle handle = 0;
    uint16_t vid = 0, pid = 0, release = 0;
    uint8_t count = 0;
    const DfuStatus read = DFUFILES_OpenExistingDFUFile(file.toLocal8Bit().constData(), &handle, &vid, &pid, &release,
                                                        &count);
    const DfuMappingRecord &last = job.facts.mapping[job.facts.alternateCount - 1];
    const ImageChoice choice = read == DFU_OK ? chooseImage(handle, count, permitted, last.alternate, job.writeImage)
                                              : ImageChoice::NoImage;
    if (read == DFU_OK)
        DFUFILES_CloseDFUFile(handle);
    if (choice != ImageChoice::Chosen) {
        if (permitted.isEmpty())
            job.message = QStringLiteral("Config.ini permits no image for \"%1\" (tolvex-config check shows what it "
                                         "lists)")
                              .arg(job.device.product);
        else if (choice == ImageChoice::WrongName)
            job.message = QStringLiteral("the file's image names are not permitted: Config.ini permits \"%1\" for "
                                         "\"%2\"")
                              .arg(permitted, job.device.product);
        else
            job.message = QStringLiteral("the file holds no image for alternate %1 (\"%2\")")
                              .arg(last.alternate)
                              .arg(QString::fromLatin1(last.name));
        job.result = Job::Refused;
        job.step = Job::Over;
        r.problem(job.device.name() + QStringLiteral(": refused: ") + job.message + QStringLiteral("; nothing erased"));
        return;
    }
    const DfuStatus filtered = DFUFILES_FilterImageForOperation(job.writeImage, &last, DFU_OPERATION_DOWNLOAD, 0);
    if (filtered != DFU_OK) {
        job.result = Job::Refused;
        job.step = Job::Over;
        job.message = QStringLiteral("the image does not fit the device: %1").arg(QString::fromLatin1(DFU_StatusText(filtered)));
        r.problem(job.device.name() + QStringLiteral(": refused: ") + job.message + QStringLiteral("; nothing erased"));
        return;
    }
    if (launch(job, DFU_OPERATION_DOWNLOAD, job.writeImage, r))
        job.step = Job::Download;
}

bool startReturn(Job &job, Reporter &r)
{
    const DfuMappingRecord &last = job.facts.mapping[job.facts.alternateCount - 1];
    DFUFILES_CreateImageFromMapping(&job.returnImage, &last);
    DFUFILES_FilterImageForOperation(job.returnImage, &last, DFU_OPERATION_RETURN, 0);
    return launch(job, DFU_OPERATION_RETURN, job.returnImage, r);
}

// One step of a job; called every few milliseconds from the one loop of `update`.
void advance(Job &job, const QString &file, const ImageNameList &names, const Options &o, const Io &io, Reporter &r,
             QElapsedTimer &waiting)
{
    switch (job.step) {
    case Job::WaitDfu: {
        if (auto d = deviceAt(dfuDevices(), job.device.location)) {
            job.dfuPath = d->path;
            job.device.serial = d->serial.isEmpty() ? job.device.serial : d->serial;
            prepare(job, file, names, r);
        } else if (waiting.elapsed() > io.arrivalTimeoutMs) {
            job.end(Job::Missing, QStringLiteral("did not come back in DFU mode in time; replug it and try again"));
            r.problem(job.device.name() + QStringLiteral(": ") + job.message);
        }
        break;
    }
    case Job::Download:
        if (!operationDone(job, QString(), r))
            break;
        if (o.stay) {
            job.end(Job::Done, QStringLiteral("written and verified; left in DFU mode"));
        } else if (startReturn(job, r)) {
            job.step = Job::Return;
        }
        break;
    case Job::Return:
        if (operationDone(job, QStringLiteral("return"), r)) {
            job.step = Job::WaitApp;
            waiting.restart();
        } else if (job.step == Job::Over) {
            job.message = QStringLiteral("written and verified, but it did not return to its application: ")
                          + job.message;
        }
        break;
    case Job::WaitApp:
        if (auto d = deviceAt(appDevices(), job.device.location)) {
            bool answered = false;
            job.newVersion = queryVersion(*d, answered);
            job.end(Job::Done, answered ? QString() : QStringLiteral("back in its application, but it does not answer"));
        } else if (waiting.elapsed() > io.arrivalTimeoutMs) {
            job.end(Job::Missing, QStringLiteral("written and verified, but it did not come back in its application "
                                                 "in time; replug it"));
            r.problem(job.device.name() + QStringLiteral(": ") + job.message);
        }
        break;
    case Job::Over:
        break;
    }
}

int exitFor(const QList<std::shared_ptr<Job>> &jobs)
{
    int worst = ExitDone;
    const auto rank = [](int code) {
        switch (code) {
        case ExitInterrupted: return 5;
        case ExitFailed: return 4;
        case ExitRefused: return 3;
        case ExitNoDevice: return 2;
        default: return 0;
        }
    };
    for (const auto &j : jobs) {
        int code = ExitDone;
        switch (j->result) {
        case Job::Failed: code = ExitFailed; break;
        case Job::Refused: code = ExitRefused; break;
        case Job::Missing: code = ExitNoDevice; break;
        case Job::Interrupted: code = ExitInterrupted; break;
        default: break;
        }
        if (rank(code) > rank(worst))
            worst = code;
    }
    return worst;
}

// ---- commands ----------------------------------------------------------------------------

int list(const Options &o, const Io &io)
{
    Reporter r(io, o.json);
    ImageNameList names;
    QString configError;
    const bool haveConfig = loadConfig(o.config, names, configError);
    QJsonArray appJson, dfuJson;
    QStringList lines;
    lines << QStringLiteral("Application mode:");
    const QList<Device> apps = appDevices();
    for (const Device &d : apps) {
        bool answered = false;
        const QString version = queryVersion(d, answered);
        const QString family = shortFrames(d) ? QStringLiteral("8-byte reports") : QStringLiteral("16/64-byte reports");
        const QString shown = answered ? (version.isEmpty() ? QStringLiteral("(not reported)") : version)
                                       : QStringLiteral("(no answer)");
        lines << QStringLiteral("  %1  \"%2\"  %3  firmware %4").arg(d.location, d.product, family, shown);
        appJson.append(QJsonObject{{QStringLiteral("where"), d.location},
                                   {QStringLiteral("product"), d.product},
                                   {QStringLiteral("family"), shortFrames(d) ? QStringLiteral("8-byte")
                                                                             : QStringLiteral("16/64-byte")},
                                   {QStringLiteral("answered"), answered},
                                   {QStringLiteral("version"), version}});
    }
    if (apps.isEmpty())
        lines << QStringLiteral("  none");
    lines << QStringLiteral("DFU mode:");
    const QList<Device> dfus = dfuDevices();
    for (const Device &d : dfus) {
        const QString permitted = haveConfig ? permittedImageName(names, d.product) : QString();
        const QString permission = !haveConfig ? QStringLiteral("(no Config.ini)")
                                   : permitted.isEmpty() ? QStringLiteral("not listed in Config.ini")
                                                         : QStringLiteral("permitted image \"%1\"").arg(permitted);
        lines << QStringLiteral("  %1  \"%2\"  serial %3  %4")
                     .arg(d.location, d.product, d.serial.isEmpty() ? QStringLiteral("-") : d.serial, permission);
        DfuDeviceFacts facts;
        const int opened = openDfuDevice(d.path, facts);
        QJsonArray alternates;
        if (opened == DfuTarget::Connected)
            lines << mappingText(facts, &alternates);
        else
            lines << QStringLiteral("      ") + openFailure(opened);
        closeFacts(facts);
        dfuJson.append(QJsonObject{{QStringLiteral("where"), d.location},
                                   {QStringLiteral("product"), d.product},
                                   {QStringLiteral("serial"), d.serial},
                                   {QStringLiteral("permitted"), permitted},
                                   {QStringLiteral("listed"), !permitted.isEmpty()},
                                   {QStringLiteral("alternates"), alternates}});
    }
    if (dfus.isEmpty())
        lines << QStringLiteral("  none");
    if (o.json)
        r.event({{QStringLiteral("application"), appJson}, {QStringLiteral("dfu"), dfuJson}});
    else
        io.out(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    if (!haveConfig && !o.json)
        r.problem(configError);
    return ExitDone;
}

int update(const Options &o, const Io &io)
{
    Reporter r(io, o.json);
    if (o.positional.size() != 1) {
        r.problem(QStringLiteral("update takes one FILE.dfu\n") + QString::fromLatin1(UpdateUsage));
        return ExitUsage;
    }
    const QString file = o.positional.first();
    ImageNameList names;
    QString error;
    if (!loadConfig(o.config, names, error)) {
        r.problem(error);
        return ExitRefused;
    }
    // The file is checked whole before any device is touched.
    DfuFileHandle handle = 0;
    uint16_t vid = 0, pid = 0, release = 0;
    uint8_t count = 0;
    const DfuStatus read = DFUFILES_OpenExistingDFUFile(file.toLocal8Bit().constData(), &handle, &vid, &pid, &release,
                                                        &count);
    if (read != DFU_OK) {
        r.problem(QStringLiteral("%1 is refused: %2; no device was touched").arg(file, QString::fromLatin1(DFU_StatusText(read))));
        return ExitRefused;
    }
    DFUFILES_CloseDFUFile(handle);

    int exit = ExitDone;
    const QList<Device> chosen = select(appDevices() + dfuDevices(), o, r, exit);
    if (chosen.isEmpty())
        return exit;
    DFUOPS_SetHonourPollTimeouts(o.strictTiming);

    QList<std::shared_ptr<Job>> jobs;
    for (const Device &d : chosen) {
        auto job = std::make_shared<Job>();
        job->device = d;
        job->flag = o.full ? DFU_FLAG_FULL_DOWNLOAD : 0;
        job->clock.start();
        jobs.append(job);
        if (d.dfuMode)
            continue;
        bool answered = false, opened = false;
        job->oldVersion = queryVersion(d, answered, &opened);
        if (answered && job->oldVersion.isEmpty())
            job->oldVersion = QStringLiteral("(not reported)");
        if (!answered) {
            job->end(Job::Failed, opened ? QStringLiteral("does not answer in application mode; replug it and try again")
                                         : QString::fromLatin1(NoPermissionHint));
            r.problem(d.name() + QStringLiteral(": ") + job->message);
        } else if (!enterDfu(d)) {
            job->end(Job::Failed, QStringLiteral("refused to enter DFU mode"));
            r.problem(d.name() + QStringLiteral(": ") + job->message);
        } else if (!r.jsonOutput()) {
            r.line(QStringLiteral("%1: entering DFU mode").arg(d.name()));
        }
    }
    QElapsedTimer waiting;
    waiting.start();
    bool stopped = false;
    for (;;) {
        bool running = false;
        for (const auto &job : jobs) {
            if (job->step == Job::Over)
                continue;
            if (interrupted(io)) {
                const bool inDfu = job->step != Job::WaitApp;
                job->release();
                job->result = Job::Interrupted;
                job->step = Job::Over;
                job->message = inDfu ? QStringLiteral("interrupted; the device stays in DFU mode: run the same "
                                                      "update again to finish it")
                                     : QStringLiteral("interrupted while it restarts");
                stopped = true;
                continue;
            }
            advance(*job, file, names, o, io, r, waiting);
            if (job->step == Job::Over)
                r.finished(job->device.location);
            running = running || job->step != Job::Over;
        }
        if (!running)
            break;
        QCoreApplication::processEvents();
        QThread::msleep(PollMs);
    }
    DFUOPS_SetHonourPollTimeouts(false);

    // The result of each device, and for several a table.
    for (const auto &job : jobs) {
        job->release();
        const double seconds = double(job->clock.elapsed()) / 1000.0;
        if (r.jsonOutput()) {
            r.event({{QStringLiteral("event"), QStringLiteral("result")},
                     {QStringLiteral("device"), job->device.location},
                     {QStringLiteral("product"), job->device.product},
                     {QStringLiteral("old"), job->oldVersion},
                     {QStringLiteral("new"), job->newVersion},
                     {QStringLiteral("result"), QString::fromLatin1(resultName(job->result))},
                     {QStringLiteral("message"), job->message},
                     {QStringLiteral("seconds"), seconds}});
        } else if (job->result == Job::Done && jobs.size() == 1) {
            r.line(o.stay ? QStringLiteral("%1: %2").arg(job->device.name(), job->message)
                          : QStringLiteral("%1: %2 -> %3%4")
                                .arg(job->device.name(), job->oldVersion, job->newVersion.isEmpty()
                                                                              ? QStringLiteral("(not reported)")
                                                                              : job->newVersion,
                                     job->message.isEmpty() ? QString() : QStringLiteral(" (") + job->message + ")"));
        } else if (job->result == Job::Interrupted) {
            r.problem(job->device.name() + QStringLiteral(": ") + job->message);
        }
    }
    if (jobs.size() > 1 && !r.jsonOutput()) {
        r.line(QStringLiteral("%1 %2 %3 %4 %5").arg(QStringLiteral("DEVICE"), -40).arg(QStringLiteral("OLD"), -10)
                   .arg(QStringLiteral("NEW"), -10).arg(QStringLiteral("RESULT"), -12).arg(QStringLiteral("TIME")));
        for (const auto &job : jobs)
            r.line(QStringLiteral("%1 %2 %3 %4 %5 s")
                       .arg(job->device.name(), -40)
                       .arg(job->oldVersion, -10)
                       .arg(job->newVersion.isEmpty() ? QStringLiteral("-") : job->newVersion, -10)
                       .arg(QString::fromLatin1(resultName(job->result)), -12)
                       .arg(double(job->clock.elapsed()) / 1000.0, 0, 'f', 1));
    }
    return stopped ? int(ExitInterrupted) : exitFor(jobs);
}

int upload(const Options &o, const Io &io)
{
    Reporter r(io, o.json);
    if (o.positional.size() != 1 || o.all) {
        r.problem(QStringLiteral("upload takes one OUT.dfu and one device\n") + QString::fromLatin1(UploadUsage));
        return ExitUsage;
    }
    int exit = ExitDone;
    const QList<Device> chosen = select(appDevices() + dfuDevices(), o, r, exit);
    if (chosen.isEmpty())
        return exit;
    Job job;
    job.device = chosen.first();
    if (!job.device.dfuMode) {
        r.problem(job.device.name() + QStringLiteral(": in application mode; tolvex-dfu enter-dfu sends it into DFU "
                                                     "mode first"));
        return ExitNoDevice;
    }
    job.dfuPath = job.device.path;
    const int opened = openDfuDevice(job.dfuPath, job.facts);
    if (opened != DfuTarget::Connected) {
        r.problem(job.device.name() + QStringLiteral(": ") + openFailure(opened));
        return ExitFailed;
    }
    const QString out = o.positional.first();
    const DfuMappingRecord &last = job.facts.mapping[job.facts.alternateCount - 1];
    // Kept apart: the mapping goes with the job's release, before the last message.
    const QString memoryName = QString::fromLatin1(last.name);
    DFUFILES_CreateImageFromMapping(&job.writeImage, &last);
    DFUFILES_SetImageName(job.writeImage, last.name);
    DFUFILES_FilterImageForOperation(job.writeImage, &last, DFU_OPERATION_UPLOAD, 0);
    // A folder that cannot be written is known before the long read.
    if (!QFileInfo(QFileInfo(out).absolutePath()).isWritable()) {
        r.problem(QStringLiteral("cannot write in the folder of %1").arg(out));
        job.release();
        return ExitFailed;
    }
    const Job::Result read =
        launch(job, DFU_OPERATION_UPLOAD, job.writeImage, r) ? finish(job, QStringLiteral("read"), r, io) : Job::Failed;
    if (read != Job::Done) {
        job.release();
        if (read == Job::Interrupted)
            r.problem(job.device.name() + QStringLiteral(": interrupted; nothing was written"));
        return read == Job::Interrupted ? int(ExitInterrupted) : int(ExitFailed);
    }
    DfuFileHandle file = 0;
    DfuStatus written = DFUFILES_CreateNewDFUFile(out.toLocal8Bit().constData(), &file, job.facts.vendorId,
                                                  job.facts.productId, job.facts.release);
    if (written == DFU_OK) {
        written = DFUFILES_AppendImageToDFUFile(file, job.writeImage);
        const DfuStatus closed = DFUFILES_CloseDFUFile(file);
        written = written == DFU_OK ? closed : written;
    }
    job.release();
    if (written != DFU_OK) {
        r.problem(QStringLiteral("cannot write %1: %2").arg(out, QString::fromLatin1(DFU_StatusText(written))));
        return ExitFailed;
    }
    r.finished(job.device.location);
    if (o.json)
        r.event({{QStringLiteral("event"), QStringLiteral("result")},
                 {QStringLiteral("device"), job.device.location},
                 {QStringLiteral("result"), QStringLiteral("done")},
                 {QStringLiteral("file"), out}});
    else
        r.line(QStringLiteral("%1: memory of \"%2\" written to %3").arg(job.device.name(), memoryName, out));
    return ExitDone;
}

// enter-dfu and leave: the mode change of each selected device, then its arrival.
int changeMode(const Options &o, const Io &io, bool toDfu)
{
    Reporter r(io, o.json);
    if (!o.positional.isEmpty()) {
        r.problem(QStringLiteral("unexpected argument %1").arg(o.positional.first()));
        return ExitUsage;
    }
    int exit = ExitDone;
    const QList<Device> chosen = select(toDfu ? appDevices() : dfuDevices(), o, r, exit);
    if (chosen.isEmpty())
        return exit;
    int worst = ExitDone;
    for (const Device &d : chosen) {
        bool sent = false;
        if (toDfu) {
            sent = enterDfu(d);
        } else {
            Job job;
            job.device = d;
            job.dfuPath = d.path;
            const int opened = openDfuDevice(d.path, job.facts);
            const Job::Result left = opened == DfuTarget::Connected && startReturn(job, r)
                                         ? finish(job, QStringLiteral("return"), r, io)
                                         : Job::Failed;
            job.release();
            if (left == Job::Interrupted) {
                r.problem(d.name() + QStringLiteral(": interrupted; it stays in DFU mode"));
                return ExitInterrupted;
            }
            sent = left == Job::Done;
        }
        if (!sent) {
            r.problem(d.name() + (toDfu ? QStringLiteral(": refused to enter DFU mode")
                                        : QStringLiteral(": could not be sent back to its application")));
            worst = ExitFailed;
            continue;
        }
        const auto arrived = waitFor(toDfu, d.location, io);
        if (!arrived) {
            r.problem(d.name() + QStringLiteral(": did not come back in time; replug it"));
            worst = worst == ExitDone ? int(ExitNoDevice) : worst;
            continue;
        }
        QString version;
        if (!toDfu) {
            bool answered = false;
            version = queryVersion(*arrived, answered);
        }
        if (o.json)
            r.event({{QStringLiteral("event"), QStringLiteral("result")},
                     {QStringLiteral("device"), d.location},
                     {QStringLiteral("mode"), toDfu ? QStringLiteral("dfu") : QStringLiteral("application")},
                     {QStringLiteral("version"), version},
                     {QStringLiteral("result"), QStringLiteral("done")}});
        else
            r.line(toDfu ? QStringLiteral("%1: in DFU mode").arg(d.name())
                         : QStringLiteral("%1: back in its application, firmware %2")
                               .arg(d.name(), version.isEmpty() ? QStringLiteral("(not reported)") : version));
    }
    return worst;
}

} // namespace

QString hidLocation(const QString &path)
{
    static const QRegularExpression simulated(QStringLiteral("^sim-hidraw:(\\d+-[\\d.]+)$"));
    const QRegularExpressionMatch m = simulated.match(path);
    if (m.hasMatch())
        return m.captured(1);
    // A hidraw node: its USB interface in sysfs is named BUS-PORTS:CONFIG.INTERFACE.
    const QString node = QFileInfo(path).fileName();
    const QString device = QFileInfo(QStringLiteral("/sys/class/hidraw/%1/device").arg(node)).canonicalFilePath();
    static const QRegularExpression usbInterface(QStringLiteral("^(\\d+-[\\d.]+):\\d+\\.\\d+$"));
    for (const QString &part : device.split(QLatin1Char('/'))) {
        const QRegularExpressionMatch i = usbInterface.match(part);
        if (i.hasMatch())
            return i.captured(1);
    }
    return QString();
}

QString dfuLocation(const QString &path)
{
    static const QRegularExpression ours(QStringLiteral("^usb:(\\d+-[\\d.]+):\\d+\\.\\d+$"));
    const QRegularExpressionMatch m = ours.match(path);
    return m.hasMatch() ? m.captured(1) : QString();
}

int run(const QStringList &args, const Io &io)
{
    if (args.isEmpty()) {
        io.err(QString::fromLatin1(MainUsage));
        return ExitUsage;
    }
    const QString command = args.first();
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        io.out(QString::fromLatin1(MainUsage));
        return ExitDone;
    }
    if (command == QLatin1String("--version")) {
        io.out(QStringLiteral("tolvex-dfu %1\n").arg(QStringLiteral(TOLVEX_VERSION)));
        return ExitDone;
    }
    struct Command
    {
        const char *name;
        const char *usage;
        QStringList options;
        int (*run)(const Options &, const Io &);
    };
    const QStringList selection{QStringLiteral("--device"), QStringLiteral("--serial"), QStringLiteral("--json"),
                                QStringLiteral("--verbose")};
    const Command commands[] = {
        {"list", ListUsage, {QStringLiteral("--json"), QStringLiteral("--config"), QStringLiteral("--verbose")}, list},
        {"update", UpdateUsage,
         selection + QStringList{QStringLiteral("--all"), QStringLiteral("--config"), QStringLiteral("--stay"),
                                 QStringLiteral("--strict-timing"), QStringLiteral("--full")},
         update},
        {"upload", UploadUsage, selection, upload},
        {"enter-dfu", EnterUsage, selection + QStringList{QStringLiteral("--all")},
         [](const Options &o, const Io &io) { return changeMode(o, io, true); }},
        {"leave", LeaveUsage, selection + QStringList{QStringLiteral("--all")},
         [](const Options &o, const Io &io) { return changeMode(o, io, false); }},
    };
    for (const Command &c : commands) {
        if (command != QLatin1String(c.name))
            continue;
        Options o;
        QString error;
        if (!parseOptions(args.mid(1), c.options, o, error)) {
            io.err(QStringLiteral("tolvex-dfu %1: %2\n%3").arg(command, error, QString::fromLatin1(c.usage)));
            return ExitUsage;
        }
        if (o.help) {
            io.out(QString::fromLatin1(c.usage) + QString::fromLatin1(SelectionHelp));
            return ExitDone;
        }
        return c.run(o, io);
    }
    io.err(QStringLiteral("tolvex-dfu: unknown command %1\n%2").arg(command, QString::fromLatin1(MainUsage)));
    return ExitUsage;
}

} // namespace cli
