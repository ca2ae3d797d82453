#pragma once

// The process-wide pseudo-random generator that the cipher seeds and the command
// sets draw their first sequence numbers from. Any generator would do; this one is
// small, deterministic for a given seed and safe to call from any thread.

// Seeds the generator. Before the first call the seed is 1.
void processRandomSeed(unsigned int seed);

// Returns the next value, 0 to 32767.
int processRandom();
