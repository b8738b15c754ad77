// The simulator's one clock: time since it began listening, in the wire's time. Every piece
// takes the time as a parameter, so that tests drive it with a clock of their own.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

using SimTime = std::chrono::nanoseconds;

constexpr SimTime kNever = SimTime::max();

inline double PlxSeconds(SimTime t) { return std::chrono::duration<double>(t).count(); }

// The time in seconds with nDecimals decimals: "1.234".
inline std::string PlxFormatSeconds(SimTime t, int nDecimals) {
    char sz[32];
    (void)std::snprintf(sz, sizeof(sz), "%.*f", nDecimals, PlxSeconds(t));
    return sz;
}
