#include "HidCommandSet.h"

#include "HidTransport.h"
#include "LittleEndian.h"

#include <QDate>
#include <QDebug>
#include <QTime>

#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr int MaxResends = 5;
constexpr quint8 DfuEntryLeave = 0xE1;

bool answersIn64(quint8 code)
{
    switch (code) {
    case 0x20: case 0x60: case 0x71: case 0x80: case 0x82:
    case 0x83: case 0x84: case 0x85: case 0x86: case 0x92:
        return true;
    default:
        return false;
    }
}

using tolvex::putLe;

// value × 1000, truncated toward zero; out-of-range values saturate rather than being
// converted with undefined behaviour.
qint32 thousandths(double value)
{
    const double scaled = std::trunc(value * 1000.0);
    if (std::isnan(scaled))
        return 0;
    if (scaled >= double(std::numeric_limits<qint32>::max()))
        return std::numeric_limits<qint32>::max();
    if (scaled <= double(std::numeric_limits<qint32>::min()))
        return std::numeric_limits<qint32>::min();
    return qint32(scaled);
}

} // namespace

HidCommandFrame HidCommandFrame::standardFor(quint8 code)
{
    HidCommandFrame frame;
    if (code == 0x66)
        return shortFor(code);
    if (code == 0x21 || code == 0x93) {
        frame.header = Long;
        frame.requestLength = 64;
    }
    frame.answerLength = answersIn64(code) ? 64 : 16;
    return frame;
}

HidCommandFrame HidCommandFrame::shortFor(quint8)
{
    HidCommandFrame frame;
    frame.header = Short;
    frame.requestLength = 8;
    frame.answerLength = 8;
    return frame;
}

QString versionTextFromAnswer(const HidAnswer &answer)
{
    QString text;
    for (int i = HidCommandFrame::DataStart; i < HidCommandFrame::DataStart + 9; ++i) {
        if (answer[size_t(i)] != 0)
            text.append(QChar::fromLatin1(char(answer[size_t(i)])));
    }
    return text;
}

HidAnswer HidCommandSet::send(HidCommandFrame frame, quint8 code, const quint8 *payload, int length, bool checked)
{
    HidAnswer answer{};
    if (length < 0 || length > frame.payloadRoom() || (length > 0 && !payload)) {
        qWarning("HID: command 0x%02X refused: %d payload bytes do not fit its frame.", code, length);
        answer[HidCommandFrame::StatusByte] = HidCommandFrame::NoAnswerStatus;
        return answer;
    }
    const quint8 number = ++sequence;
    frame.bytes[HidCommandFrame::HeaderByte] = frame.header;
    frame.bytes[HidCommandFrame::SequenceByte] = number;
    frame.bytes[HidCommandFrame::CodeByte] = code;
    frame.bytes[HidCommandFrame::ComplementByte] = quint8(~code);
    std::copy(payload, payload + length, frame.bytes.begin() + HidCommandFrame::PayloadStart);

    if (!hidTransport.isOpen()) {
        answer[HidCommandFrame::StatusByte] = HidCommandFrame::NoAnswerStatus;
        return answer;
    }
    const bool noAnswer = code == DfuEntryLeave;
    int got = -1;
    for (int resent = 0;; ++resent) {
        got = hidTransport.exchange(frame.bytes.data(), frame.requestLength, frame.answerLength, answer.data(),
                                    noAnswer);
        // Only a standard frame is judged by its echo, and resent until it matches.
        if (!checked || noAnswer || got < 0 || answer[HidCommandFrame::EchoByte] == number || resent == MaxResends)
            break;
    }
    // Judged against this request's own number: a command sent from a nested event
    // handler meanwhile may have moved the counter on.
    const bool echoed = !checked || noAnswer || answer[HidCommandFrame::EchoByte] == number;
    if (got < 0 || !echoed)
        answer[HidCommandFrame::StatusByte] = HidCommandFrame::NoAnswerStatus;
    return answer;
}

HidAnswer HidCommandSet::sendCommand(quint8 code, const quint8 *payload, int length)
{
    return send(HidCommandFrame::standardFor(code), code, payload, length, true);
}

HidAnswer HidCommandSet::sendShortCommand(quint8 code, const quint8 *payload, int length)
{
    return send(HidCommandFrame::shortFor(code), code, payload, length, false);
}

namespace {
// The operations below differ only in code and payload.
HidAnswer sendBytes(HidCommandSet &set, quint8 code, const std::vector<quint8> &payload)
{
    return set.sendCommand(code, payload.data(), int(payload.size()));
}
std::vector<quint8> le32(quint32 value)
{
    std::vector<quint8> out;
    putLe(out, value, 4);
    return out;
}
} // namespace

HidAnswer HidCommandSet::command10() { return sendBytes(*this, 0x10, {0xA5, 0x5A}); }
HidAnswer HidCommandSet::command20(const std::array<quint8, 3> &b) { return sendBytes(*this, 0x20, {b.begin(), b.end()}); }

HidAnswer HidCommandSet::command21(quint16 value, const quint8 *bytes, int count)
{
    // A count that does not fit is refused as an oversized payload is.
    if (count < 0 || count > 57 || (count > 0 && !bytes))
        return sendCommand(0x21, nullptr, -1);
    std::vector<quint8> payload;
    putLe(payload, value, 2);
    payload.push_back(quint8(count));
    payload.insert(payload.end(), bytes, bytes + count);
    return sendBytes(*this, 0x21, payload);
}

HidAnswer HidCommandSet::command22() { return sendBytes(*this, 0x22, {0x5A, 0xA5}); }

HidAnswer HidCommandSet::command23(const QDate &date, const QTime &time)
{
    // The FAT directory-entry date: years from 1980, month, day.
    const quint16 packed = quint16((date.year() - 1980) * 512 + date.month() * 32 + date.day());
    return sendBytes(*this, 0x23, {quint8(packed), quint8(packed >> 8), quint8(time.hour()), quint8(time.minute()),
                                   quint8(time.second())});
}

HidAnswer HidCommandSet::command60(const std::array<quint8, 9> &b) { return sendBytes(*this, 0x60, {b.begin(), b.end()}); }
HidAnswer HidCommandSet::command61(quint32 value) { return sendBytes(*this, 0x61, le32(value)); }
HidAnswer HidCommandSet::command62(quint8 value) { return sendBytes(*this, 0x62, {value}); }
HidAnswer HidCommandSet::command66() { return sendBytes(*this, 0x66, {0xA5, 0x5A}); }
HidAnswer HidCommandSet::command71(quint8 value) { return sendBytes(*this, 0x71, {value}); }
HidAnswer HidCommandSet::command80(const std::array<quint8, 2> &b) { return sendBytes(*this, 0x80, {b[0], b[1]}); }

HidAnswer HidCommandSet::command81(const std::array<quint8, 2> &b, quint32 value)
{
    std::vector<quint8> payload = le32(value);
    payload.insert(payload.end(), b.begin(), b.end());
    return sendBytes(*this, 0x81, payload);
}

HidAnswer HidCommandSet::command82(const std::array<quint8, 2> &b) { return sendBytes(*this, 0x82, {b[0], b[1]}); }
HidAnswer HidCommandSet::command83(const std::array<quint8, 2> &b) { return sendBytes(*this, 0x83, {b[0], b[1]}); }
HidAnswer HidCommandSet::command84(const std::array<quint8, 2> &b) { return sendBytes(*this, 0x84, {b[0], b[1]}); }
HidAnswer HidCommandSet::command85(const std::array<quint8, 2> &b) { return sendBytes(*this, 0x85, {b[0], b[1]}); }
HidAnswer HidCommandSet::command86() { return sendBytes(*this, 0x86, {}); }
HidAnswer HidCommandSet::command87(quint32 value) { return sendBytes(*this, 0x87, le32(value)); }
HidAnswer HidCommandSet::command88(quint32 value) { return sendBytes(*this, 0x88, le32(value)); }
HidAnswer HidCommandSet::command89(quint32 value) { return sendBytes(*this, 0x89, le32(value)); }
HidAnswer HidCommandSet::command8A(quint32 value) { return sendBytes(*this, 0x8A, le32(value)); }
HidAnswer HidCommandSet::command90() { return sendBytes(*this, 0x90, {0x55}); }
HidAnswer HidCommandSet::command91() { return sendBytes(*this, 0x91, {0xAA}); }
HidAnswer HidCommandSet::command92(quint8 value) { return sendBytes(*this, 0x92, {value}); }

HidAnswer HidCommandSet::command93(quint8 value, const std::array<quint8, 32> &block, int count)
{
    if (count < 0 || count > int(block.size()))
        return sendCommand(0x93, nullptr, -1);
    std::vector<quint8> payload{value};
    payload.insert(payload.end(), block.begin(), block.begin() + count);
    return sendBytes(*this, 0x93, payload);
}

HidAnswer HidCommandSet::command94() { return sendBytes(*this, 0x94, {}); }
HidAnswer HidCommandSet::command95() { return sendBytes(*this, 0x95, {}); }

HidAnswer HidCommandSet::command96(double value)
{
    std::vector<quint8> payload;
    putLe(payload, quint32(thousandths(value)), 2);
    return sendBytes(*this, 0x96, payload);
}

HidAnswer HidCommandSet::command97() { return sendBytes(*this, 0x97, {}); }
HidAnswer HidCommandSet::command98() { return sendBytes(*this, 0x98, {}); }
HidAnswer HidCommandSet::command99(double value) { return sendBytes(*this, 0x99, le32(quint32(thousandths(value)))); }
HidAnswer HidCommandSet::command9A() { return sendBytes(*this, 0x9A, {}); }
HidAnswer HidCommandSet::command9B() { return sendBytes(*this, 0x9B, {}); }
HidAnswer HidCommandSet::command9C() { return sendBytes(*this, 0x9C, {}); }
HidAnswer HidCommandSet::command9D(bool on) { return sendBytes(*this, 0x9D, {quint8(on ? 1 : 0)}); }
HidAnswer HidCommandSet::commandA0(const std::array<quint8, 2> &b) { return sendBytes(*this, 0xA0, {b[0], b[1]}); }
HidAnswer HidCommandSet::commandE0() { return sendBytes(*this, 0xE0, {0xAA}); }
HidAnswer HidCommandSet::commandE1() { return sendBytes(*this, 0xE1, {0x55}); }

HidAnswer HidCommandSet::shortCommandE0()
{
    const quint8 payload = 0xAA;
    return sendShortCommand(0xE0, &payload, 1);
}

HidAnswer HidCommandSet::shortCommandE1()
{
    const quint8 payload = 0x55;
    return sendShortCommand(0xE1, &payload, 1);
}

HidVersionAnswer askVersion(HidCommandSet &commands, HidFamily family)
{
    HidVersionAnswer a;
    if (family == HidFamily::ShortFrames) {
        // This family answers the check but reports no version.
        a.answered = commands.command66()[HidCommandFrame::StatusByte] == 0;
        return a;
    }
    const HidAnswer answer = commands.command10();
    a.answered = answer[HidCommandFrame::StatusByte] == 0;
    if (a.answered)
        a.version = versionTextFromAnswer(answer);
    return a;
}
