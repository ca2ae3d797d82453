#pragma once

#include <QString>
#include <QtGlobal>

#include <array>

// The 64-byte answer buffer of a command: byte 1 echoes the request's sequence number,
// byte 2 is the status (0 success), the command's data follows.
using HidAnswer = std::array<quint8, 64>;

// The layout of one request report. Byte 0 is the header (sent as the HID report
// identifier), byte 1 the sequence number, byte 2 the code, byte 3 its complement, then
// the payload; the rest is zero.
struct HidCommandFrame
{
    enum Header : quint8 { Standard = 0xA1, Long = 0xA3, Short = 0x04 };
    enum Offset { HeaderByte = 0, SequenceByte = 1, CodeByte = 2, ComplementByte = 3, PayloadStart = 4 };
    enum AnswerOffset { EchoByte = 1, StatusByte = 2, DataStart = 3 };
    // Status the tool itself writes when no matching answer was had.
    static constexpr quint8 NoAnswerStatus = 0xF2;

    quint8 header = Standard;
    int requestLength = 16;
    int answerLength = 16;
    std::array<quint8, 64> bytes{};

    int payloadRoom() const { return requestLength - PayloadStart; }

    // Header and lengths of `code` in a standard frame.
    static HidCommandFrame standardFor(quint8 code);
    // The 8-byte frame of the short command form.
    static HidCommandFrame shortFor(quint8 code);
};

// The firmware version text that answer bytes 3 to 11 of command 0x10 carry; zero bytes
// are left out wherever they stand.
QString versionTextFromAnswer(const HidAnswer &answer);
