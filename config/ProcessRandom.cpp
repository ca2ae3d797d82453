#include "ProcessRandom.h"

#include <atomic>

namespace {
std::atomic<unsigned int> state{1};
}

void processRandomSeed(unsigned int seed)
{
    state.store(seed, std::memory_order_relaxed);
}

int processRandom()
{
    // The linear congruential step of the C standard's sample rand().
    unsigned int current = state.load(std::memory_order_relaxed);
    unsigned int next;
    do {
        next = current * 1103515245u + 12345u;
    } while (!state.compare_exchange_weak(current, next, std::memory_order_relaxed));
    return static_cast<int>((next / 65536u) % 32768u);
}
