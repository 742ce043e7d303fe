// A small, fixed generator for the fuzz harnesses, so a start value gives the same files on
// every machine.
#pragma once

#include <cstdint>

class FuzzRandom
{
public:
    explicit FuzzRandom(std::uint64_t start) : m_state(start) { }

    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return n <= 0 ? 0 : int(next() % std::uint64_t(n)); }
    bool chance(int percent) { return below(100) < percent; }

private:
    std::uint64_t m_state;
};
