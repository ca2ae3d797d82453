#pragma once

#include "HidCommandFrame.h"
#include "HidDevice.h"

class QDate;
class QTime;

// Commands of the application-mode protocol, numbered by an 8-bit sequence counter. Every
// command goes through the process-wide hidTransport and returns the 64-byte answer; a
// status of HidCommandFrame::NoAnswerStatus means no matching answer was had.
class HidCommandSet
{
public:
    explicit HidCommandSet(quint8 initialSequence) : sequence(initialSequence) {}

    quint8 currentSequence() const { return sequence; }

    // Standard framing: the answer must echo the sequence number; up to five resends.
    HidAnswer sendCommand(quint8 code, const quint8 *payload, int length);
    // The 8-byte form: one send, the answer as it came.
    HidAnswer sendShortCommand(quint8 code, const quint8 *payload, int length);

    HidAnswer command10();
    HidAnswer command20(const std::array<quint8, 3> &bytes);
    // At most 57 bytes.
    HidAnswer command21(quint16 value, const quint8 *bytes, int count);
    HidAnswer command22();
    HidAnswer command23(const QDate &date, const QTime &time);
    HidAnswer command60(const std::array<quint8, 9> &bytes);
    HidAnswer command61(quint32 value);
    HidAnswer command62(quint8 value);
    HidAnswer command66();
    HidAnswer command71(quint8 value);
    HidAnswer command80(const std::array<quint8, 2> &bytes);
    HidAnswer command81(const std::array<quint8, 2> &bytes, quint32 value);
    HidAnswer command82(const std::array<quint8, 2> &bytes);
    HidAnswer command83(const std::array<quint8, 2> &bytes);
    HidAnswer command84(const std::array<quint8, 2> &bytes);
    HidAnswer command85(const std::array<quint8, 2> &bytes);
    HidAnswer command86();
    HidAnswer command87(quint32 value);
    HidAnswer command88(quint32 value);
    HidAnswer command89(quint32 value);
    HidAnswer command8A(quint32 value);
    HidAnswer command90();
    HidAnswer command91();
    HidAnswer command92(quint8 value);
    // The first `count` bytes of the block, at most 32.
    HidAnswer command93(quint8 value, const std::array<quint8, 32> &block, int count);
    HidAnswer command94();
    HidAnswer command95();
    HidAnswer command96(double value);
    HidAnswer command97();
    HidAnswer command98();
    HidAnswer command99(double value);
    HidAnswer command9A();
    HidAnswer command9B();
    HidAnswer command9C();
    HidAnswer command9D(bool on);
    HidAnswer commandA0(const std::array<quint8, 2> &bytes);
    HidAnswer commandE0();
    HidAnswer commandE1();
    HidAnswer shortCommandE0();
    HidAnswer shortCommandE1();

private:
    HidAnswer send(HidCommandFrame frame, quint8 code, const quint8 *payload, int length, bool checked);

    quint8 sequence;
};

// What the open application-mode device answers when asked for its version: the window and
// tolvex-dfu ask the same way, by family.
struct HidVersionAnswer
{
    bool answered = false;
    QString version; // empty when the family reports none
};
HidVersionAnswer askVersion(HidCommandSet &commands, HidFamily family);
