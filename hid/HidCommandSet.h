#pragma once

#include <QtGlobal>

// Commands of the application-mode protocol, numbered by an 8-bit sequence counter.
class HidCommandSet
{
public:
    explicit HidCommandSet(quint8 initialSequence) : sequence(initialSequence) {}

    quint8 currentSequence() const { return sequence; }

private:
    quint8 sequence;
};
