// What an application-mode device answers: each input report, of any length, goes
// through the transport and the command set, and the version text is read from it. The
// input is split at 0x00 0xFF into the reports of successive requests.

#include "Board.h"
#include "HidCommandSet.h"
#include "HidTransport.h"
#include "World.h"

#include <cstdlib>
#include <deque>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::deque<std::vector<uint8_t>> reports(1);
    for (size_t i = 0; i < size; ++i) {
        if (i + 1 < size && data[i] == 0x00 && data[i + 1] == 0xFF) {
            reports.emplace_back();
            ++i;
        } else {
            reports.back().push_back(data[i]);
        }
    }
    // An empty report is a request left unanswered, which costs the full answer wait.
    for (std::vector<uint8_t> &r : reports) {
        if (r.empty())
            r.push_back(0);
    }

    // The family that takes every frame form: no request goes unanswered once the script ends.
    sim::Board board = sim::makeBoard(sim::HidAppDeviceSpec(), sim::DfuDeviceSpec::oneAlternate());
    board.app->setScriptedAnswers(std::move(reports));
    sim::World::instance().plug(board.app);
    const QList<QStringList> found = hidTransport.enumerate(QStringLiteral("Corvantis"));
    if (found.size() != 1 || !hidTransport.open(found.first().at(2)))
        std::abort();

    HidCommandSet commands{quint8(size)};
    const HidAnswer version = commands.command10();
    if (versionTextFromAnswer(version).size() > 9)
        std::abort();
    const HidAnswer check = commands.command66();
    // A standard frame's answer either echoes its request or is marked as unanswered.
    if (check[1] != commands.currentSequence() && check[2] != HidCommandFrame::NoAnswerStatus)
        std::abort();
    commands.command92(1);
    commands.shortCommandE0();

    hidTransport.close();
    sim::World::instance().unplugAll();
    return 0;
}
