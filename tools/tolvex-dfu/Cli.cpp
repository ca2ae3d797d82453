// tolvex-dfu's usage texts and its table of commands.

#include "Cli.h"

#include "Commands.h"
#include "Devices.h"
#include "Options.h"
#include "Output.h"

#include <QJsonValue>
#include <QRegularExpression>

namespace cli {

namespace {

const char MainUsage[] = "usage: tolvex-dfu COMMAND [OPTIONS]\n"
                         "\n"
                         "Updates the firmware of Corvantis USB devices from a terminal.\n"
                         "\n"
                         "commands:\n"
                         "  list        devices in application mode and in DFU mode\n"
                         "  update      the whole update of one device, or of all: into DFU mode, erase, write,\n"
                         "              verify, back to the application\n"
                         "  verify      whether a device holds exactly what a .dfu file holds (nothing written)\n"
                         "  upload      the device memory into a .dfu file: a memory, or a range of one\n"
                         "  enter-dfu   send devices in application mode into DFU mode\n"
                         "  leave       send devices in DFU mode back to their application\n"
                         "  station     update every board as it is plugged in, several at once\n"
                         "  history     the updates made on this computer: when, which file into which serial\n"
                         "\n"
                         "tolvex-dfu COMMAND --help tells more; --version prints the version.\n"
                         "\n"
                         "Without --json, results go to standard output and progress and messages to standard\n"
                         "error; with --json (-j), standard output carries JSON lines only.\n"
                         "\n"
                         "exit codes: 0 all done, 1 an operation failed on a device (or another board came back),\n"
                         "2 usage, 3 file refused (unreadable, damaged, not permitted, not signed as required, or\n"
                         "older than the board's firmware), 4 no device, or a device did not come back in time,\n"
                         "5 a dry run in application mode that cannot tell without DFU mode, 6 verify cannot read\n"
                         "the memory back, 130 interrupted. verify: 1 when the memory differs from the file.\n";

const char CommonHelp[] = "devices (all given must fit; several fitting devices need --all):\n"
                          "  --device WHERE     the device plugged in at WHERE (BUS-PORT.PORT..., as 'list' shows)\n"
                          "  --serial S         the device whose serial number is S (its application's or its boot\n"
                          "                     loader's; a board left in DFU mode is found by its own where the\n"
                          "                     history knows it)\n"
                          "  --usb VID:PID      devices with these USB ids, hexadecimal (0x may lead): the ids of\n"
                          "                     the mode the board is in (1209:2a16 application, 1209:2a17 DFU)\n"
                          "  --wait             wait for a fitting device to be plugged in (60 s)\n"
                          "  --wait-seconds N   ... for at most N seconds\n"
                          "history:\n"
                          "  --central URL      also send every row to this central history (PostgreSQL):\n"
                          "                     postgresql://USER@HOST/DB?sslmode=verify-full or service=NAME,\n"
                          "                     its password from ~/.pgpass or the service file (default: the\n"
                          "                     line of central.conf; see CENTRAL HISTORY in tolvex-dfu(1))\n"
                          "output:\n"
                          "  -j, --json         JSON lines on standard output (schema in tolvex-dfu(1))\n"
                          "  -q, --quiet        no progress and no notes; results and problems only\n"
                          "  -v, --verbose      what was done, and the libraries' diagnostics\n";

const char ListUsage[] =
    "usage: tolvex-dfu list [--json] [--config PATH]\n"
    "\n"
    "Lists the devices in application mode (product, family, firmware version, where they\n"
    "are plugged) and in DFU mode (product, serial, where, alternates with their memory\n"
    "layouts, and the image name Config.ini permits for them).\n"
    "  --config PATH  Config.ini to read (default: Config.ini in the working folder)\n";

const char UpdateUsage[] =
    "usage: tolvex-dfu update FILE.dfu [--device WHERE] [--serial S] [--usb VID:PID] [--all]\n"
    "                         [--config PATH] [--stay] [--strict-timing] [--full] [--force]\n"
    "                         [--allow-older] [--dry-run [--enter]] [--history PATH | --no-history]\n"
    "                         [--central URL] [--alt N|NAME] [--wait | --wait-seconds N] [-j] [-q | -v]\n"
    "\n"
    "Sends the device into DFU mode if it is in application mode, checks the file's image\n"
    "names against Config.ini, erases the sectors the image touches, writes and verifies it,\n"
    "sends the device back to its application and prints the old and the new firmware\n"
    "version. With one device connected no selection is needed.\n"
    "  --all            every fitting device, all at the same time\n"
    "  --config PATH    Config.ini to read (default: Config.ini in the working folder)\n"
    "  --stay           leave the device in DFU mode afterwards\n"
    "  --strict-timing  wait out every poll timeout the device reports\n"
    "  --full           erase and write every sector the image touches, even those that\n"
    "                   already hold what it wants (by default they are read and left)\n"
    "  --force          write a file whose suffix names other USB ids than the device's\n"
    "  --allow-older    write a file whose release is older than the board's firmware\n"
    "                   (refused by default, exit 3: see RELEASES in tolvex-dfu(1))\n"
    "  --history PATH   the history to record in (default: $XDG_STATE_HOME/tolvex-dfu/history.sqlite)\n"
    "  --no-history     record nothing\n"
    "  --dry-run        change nothing: say what would be done (in DFU mode, after reading\n"
    "                   and comparing the memory); exit 0 if it would go ahead, 3 if refused,\n"
    "                   5 in application mode, where the boot loader's name is not known\n"
    "  --enter          with --dry-run: send the board into DFU mode to compare, and back\n"
    "  --alt N|NAME     write the file's image for this alternate (its number, or its memory's\n"
    "                   name as 'list -v' shows it); default: the last one, the application's\n"
    "Ctrl-C (or SIGTERM, SIGHUP, a closed output pipe) stops between two transfers and\n"
    "leaves the device in DFU mode (exit 130).\n";

const char UploadUsage[] =
    "usage: tolvex-dfu upload OUT.dfu [--device WHERE] [--serial S] [--usb VID:PID] [--config PATH]\n"
    "                         [--alt N|NAME] [--address ADDR[:LEN]] [--history PATH | --no-history]\n"
    "                         [--central URL] [--force] [--wait] [-j] [-q | -v]\n"
    "\n"
    "Reads the memory of a device in DFU mode into a .dfu file with one image for that memory,\n"
    "its elements at their addresses, named as Config.ini permits for the product, so that\n"
    "'update OUT.dfu' (with the same --alt) writes it back. The backup is recorded in the\n"
    "history (result \"backup\", its SHA-256), which is what lets an administrator allow\n"
    "restoring it unsigned where files must be signed (see SIGNATURES in tolvex-dfu(1)).\n"
    "An existing OUT.dfu is refused (exit 3) unless --force.\n"
    "  --alt N|NAME         the memory: an alternate's number or its memory's name (default: the\n"
    "                       last one, the application's)\n"
    "  --address ADDR[:LEN] only LEN bytes from ADDR (hexadecimal 0x... or decimal); without LEN,\n"
    "                       to the end of the readable memory from ADDR. Within one memory and\n"
    "                       its readable sectors, or refused (exit 3).\n";

const char VerifyUsage[] =
    "usage: tolvex-dfu verify FILE.dfu [--device WHERE] [--serial S] [--usb VID:PID] [--all]\n"
    "                         [--config PATH] [--alt N|NAME] [--stay] [--strict-timing] [--force]\n"
    "                         [--wait | --wait-seconds N] [-j] [-q | -v]\n"
    "\n"
    "Whether the board holds exactly this file: from either mode (into DFU mode and back to its\n"
    "application afterwards, unless --stay), after the same Config.ini and signature checks as\n"
    "an update, it reads back only what the file's image covers and compares. Nothing is\n"
    "erased or written. Exit 0: identical; 1: it differs (the ranges are printed, and in JSON\n"
    "as address ranges); 3: the file is refused as an update would refuse it; 6: the memory\n"
    "cannot be read back (not readable, or the board refuses).\n";

const char StationUsage[] =
    "usage: tolvex-dfu station FILE.dfu [--count N] [--device P,...] [--usb VID:PID] [--config PATH]\n"
    "                          [--strict-timing] [--full] [--allow-older] [--label PORT=NAME ...]\n"
    "                          [--labels FILE] [--history PATH | --no-history] [--central URL]\n"
    "                          [--restart-wait S] [--operator NAME] [--lot TEXT]\n"
    "                          [--scan optional|required] [-j] [-q | -v]\n"
    "       tolvex-dfu station --profile FILE [--operator NAME] [--lot TEXT] [-j] [-q | -v]\n"
    "\n"
    "For a production line or a support desk: waits for boards of the maker, in application\n"
    "or DFU mode, and updates each as soon as it is plugged in, several at once. A board is\n"
    "updated once while it stays plugged in; unplugged and plugged in again (however quickly),\n"
    "it is a new arrival. A board is given --restart-wait seconds (default 15) to come back in\n"
    "its other mode; one that comes back later is still one board with one record. A board of\n"
    "another serial at a port whose board was pulled is taken at once; a board pulled during\n"
    "the write ends \"pulled\" (it may be half-written: plug it in again to finish). A board\n"
    "that already holds the image is said so and sent back to its application. Every board is\n"
    "recorded in the history, with the operator, the lot and its scanned label; lines name the\n"
    "port (or its label) and the serial, and the end lists the boards that did not end done.\n"
    "With a central history, rows are sent there within seconds, and wait locally while it\n"
    "does not answer. With --lot, the tally is the lot's, counted from the history.\n"
    "  --profile FILE the line engineer's settings (firmware, its SHA-256, Config.ini, ports and\n"
    "                 labels, count, restart-wait, operator, lot, scan, history, central); the\n"
    "                 first line says whether it is locked (owned and writable by root alone)\n"
    "  --count N      stop once N boards have ended (boards, not attempts)\n"
    "  --device P,... only the boards at these ports\n"
    "  --usb VID:PID  only the boards with these USB ids\n"
    "  --label PORT=NAME, --labels FILE\n"
    "                 names for fixture slots in every line (FILE: one PORT = NAME a line)\n"
    "  --scan optional|required\n"
    "                 a barcode scanner types a label and Enter on standard input: it pairs with\n"
    "                 the next board to arrive, which is refused if its own serial differs;\n"
    "                 required: a board that arrives unscanned is refused\n"
    "  --allow-older  write boards whose firmware is newer than the file's release\n"
    "The first Ctrl-C (or SIGTERM) takes no new boards and lets the running ones finish; a second\n"
    "stops them between two transfers. The exit code is 0 when every board ended done or up to\n"
    "date, 130 when a board was stopped, 1 otherwise.\n";

const char HistoryUsage[] =
    "usage: tolvex-dfu history [--serial S] [--since DATE] [--until DATE] [--host NAME]\n"
    "                          [--sha256 HEX] [--file NAME] [--result RESULT] [--label NAME]\n"
    "                          [--operator NAME] [--lot TEXT]\n"
    "                          [--utc] [--json | --csv] [--history PATH] [--central [URL]]\n"
    "       tolvex-dfu history --sync [--central URL] [--history PATH]\n"
    "       tolvex-dfu history --prune --before DATE [--central URL] [--history PATH]\n"
    "\n"
    "The update history that the window, tolvex-dfu and its station keep: one row per device\n"
    "per update (start and end, program, host, product, serial, place, versions before and\n"
    "after, file and its SHA-256, image, sectors written and kept, bytes verified, result,\n"
    "message, seconds), as a table, JSON lines or CSV for a spreadsheet. It only reads: the\n"
    "file is opened read-only and nothing is created beside it.\n"
    "  --since DATE     rows from this date or time on: 2026-12-01, 2026-12-01T08:00,\n"
    "                   2026-12-01T08:00:00Z, 2026-12-01T08:00+01:00; without a zone, local time\n"
    "  --utc            the table's times, and --since without a zone, in UTC (JSON and CSV\n"
    "                   are in UTC always)\n"
    "  --until DATE     rows that started before this time, or up to the end of this date\n"
    "  --host NAME      rows of the computer (or station-name) NAME only\n"
    "  --sha256 HEX     rows of the files whose SHA-256 starts with HEX\n"
    "  --file NAME      rows of the files named NAME (in any folder)\n"
    "  --result RESULT  rows with this result: running, done, refused, failed, interrupted,\n"
    "                   up to date, replaced, pulled, backup\n"
    "  --label NAME     rows of the station slot labelled NAME\n"
    "  --operator NAME, --lot TEXT\n"
    "                   rows of a station run by this operator, of this lot\n"
    "  --history PATH   the history's file (default: $XDG_STATE_HOME/tolvex-dfu/history.sqlite)\n"
    "  --central [URL]  ask the central history instead, every station's rows (default: the line\n"
    "                   of central.conf); the output names the store it shows\n"
    "  --sync           send the rows of this computer's history that wait to the central one,\n"
    "                   and say how many were sent and how many wait (exit 1 if any waits)\n"
    "  --prune --before DATE\n"
    "                   delete the rows of this computer's history that started before DATE and\n"
    "                   that the central history holds (every such row when no central history\n"
    "                   is set, after saying so), a few hundred at a time so that a station\n"
    "                   writing beside it never waits; the space goes back to the file system\n";

const char EnterUsage[] =
    "usage: tolvex-dfu enter-dfu [--device WHERE] [--serial S] [--usb VID:PID] [--all] [-j]\n"
    "\n"
    "Sends devices in application mode into DFU mode and waits until they are there.\n";

const char LeaveUsage[] =
    "usage: tolvex-dfu leave [--device WHERE] [--serial S] [--usb VID:PID] [--all] [-j]\n"
    "\n"
    "Sends devices in DFU mode back to their application and waits until they answer.\n";

// The common options' help, only the lines of the options `allowed` (and the headings of those)
// that the command's own text does not describe.
QString commonHelp(const QStringList &allowed, const char *own)
{
    static const QRegularExpression longName(QStringLiteral("--[a-z-]+"));
    QString out, heading;
    bool kept = false; // the option line that a continuation line goes on
    for (const QString &line : QString::fromLatin1(CommonHelp).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!line.startsWith(QLatin1String("  "))) {
            heading = line;
            continue;
        }
        if (!line.trimmed().startsWith(QLatin1Char('-'))) {
            if (kept)
                out += line + QLatin1Char('\n');
            continue;
        }
        kept = false;
        const QString name = longName.match(line).captured(0);
        const bool always = name == QLatin1String("--quiet") || name == QLatin1String("--verbose");
        if ((!always && !allowed.contains(name)) || QLatin1String(own).contains(QStringLiteral("  ") + name))
            continue;
        if (!heading.isEmpty())
            out += heading + QLatin1Char('\n');
        heading.clear();
        out += line + QLatin1Char('\n');
        kept = true;
    }
    return out;
}

// Whether the arguments ask for JSON: --json, or -j alone or among other short options.
bool asksForJson(const QStringList &args)
{
    for (const QString &a : args) {
        if (a == QLatin1String("--"))
            break;
        if (a == QLatin1String("--json")
            || (a.startsWith(QLatin1Char('-')) && !a.startsWith(QLatin1String("--")) && a.contains(QLatin1Char('j'))))
            return true;
    }
    return false;
}

// A usage error: said to people, and with JSON asked for, one result object too.
int usage(const Io &io, const QStringList &args, const QString &text, const QString &message)
{
    io.err(text);
    if (asksForJson(args))
        Output(io, true).event({{QStringLiteral("event"), QStringLiteral("result")},
            {QStringLiteral("device"), QJsonValue()}, {QStringLiteral("result"), QStringLiteral("usage")},
            {QStringLiteral("message"), message}, {QStringLiteral("exit"), int(ExitUsage)}});
    return ExitUsage;
}

} // namespace

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
    const QStringList selection{QStringLiteral("--device"), QStringLiteral("--serial"), QStringLiteral("--usb"),
                                QStringLiteral("--json"),   QStringLiteral("--wait"),   QStringLiteral("--wait-seconds")};
    const QStringList config{QStringLiteral("--config")};
    const Command commands[] = {
        {"list", ListUsage, {QStringLiteral("--json"), QStringLiteral("--config")}, list},
        {"update", UpdateUsage,
            selection + config
                + QStringList{QStringLiteral("--all"), QStringLiteral("--stay"), QStringLiteral("--strict-timing"),
                    QStringLiteral("--full"), QStringLiteral("--force"), QStringLiteral("--dry-run"),
                    QStringLiteral("--history"), QStringLiteral("--no-history"), QStringLiteral("--allow-older"),
                    QStringLiteral("--enter"), QStringLiteral("--alt"), QStringLiteral("--central")},
            update},
        {"verify", VerifyUsage,
            selection + config
                + QStringList{QStringLiteral("--all"), QStringLiteral("--stay"), QStringLiteral("--strict-timing"),
                    QStringLiteral("--force"), QStringLiteral("--alt"), QStringLiteral("--history"),
                    QStringLiteral("--no-history")},
            verify},
        {"station", StationUsage,
            {QStringLiteral("--count"), QStringLiteral("--config"), QStringLiteral("--strict-timing"),
                QStringLiteral("--full"), QStringLiteral("--json"), QStringLiteral("--history"),
                QStringLiteral("--no-history"), QStringLiteral("--allow-older"), QStringLiteral("--label"),
                QStringLiteral("--labels"), QStringLiteral("--device"), QStringLiteral("--usb"),
                QStringLiteral("--central"), QStringLiteral("--profile"), QStringLiteral("--operator"),
                QStringLiteral("--lot"), QStringLiteral("--scan"), QStringLiteral("--restart-wait")},
            station},
        {"history", HistoryUsage,
            {QStringLiteral("--serial"), QStringLiteral("--since"), QStringLiteral("--json"), QStringLiteral("--csv"),
                QStringLiteral("--history"), QStringLiteral("--utc"), QStringLiteral("--host"),
                QStringLiteral("--central"), QStringLiteral("--sync"), QStringLiteral("--until"),
                QStringLiteral("--sha256"), QStringLiteral("--file"), QStringLiteral("--result"),
                QStringLiteral("--label"), QStringLiteral("--prune"), QStringLiteral("--before"),
                QStringLiteral("--operator"), QStringLiteral("--lot")},
            history},
        {"upload", UploadUsage,
            selection + config
                + QStringList{QStringLiteral("--force"), QStringLiteral("--alt"), QStringLiteral("--address"),
                    QStringLiteral("--history"), QStringLiteral("--no-history"), QStringLiteral("--central")},
            upload},
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
        // A script that asked for JSON gets its result as JSON, usage errors too.
        const bool parsed = parseOptions(args.mid(1), c.options, o, error);
        const Outcome selection = parsed ? update::checkSelection(o.selection()) : Outcome::ok();
        if (!selection)
            error = selection.message();
        if (!parsed || !selection)
            return usage(io, args,
                QStringLiteral("tolvex-dfu %1: %2\n%3").arg(command, error, QString::fromLatin1(c.usage)), error);
        if (o.help) {
            io.out(QString::fromLatin1(c.usage) + commonHelp(c.options, c.usage));
            return ExitDone;
        }
        return c.run(o, io);
    }
    return usage(io, args,
        QStringLiteral("tolvex-dfu: unknown command %1\n%2").arg(command, QString::fromLatin1(MainUsage)),
        QStringLiteral("unknown command %1").arg(command));
}

} // namespace cli
