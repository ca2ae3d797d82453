#pragma once

// Fields of the library's packed records may be misaligned: comparison macros take their
// arguments by reference, so compare a copy.
template <typename T>
T unpacked(T value)
{
    return value;
}
