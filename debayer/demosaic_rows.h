#pragma once

// Row-walking helpers shared by the demosaic kernels (not part of the
// module's interface).

#include "debayer/demosaic.h"

#include <algorithm>

// What a pixel needs to know about its place in the pattern.
struct Site {
    int colour;  // its own colour
    int across;  // green site: colour of the left/right neighbours; else the opposite colour
    int along;   // green site: colour of the upper/lower neighbours; else green
};

inline Site siteAt(uint32_t word, int x, int y)
{
    const int colour = colourAt(word, x, y);
    if (colour == 1)
        return {1, colourAt(word, x + 1, y), colourAt(word, x, y + 1)};
    return {colour, 2 - colour, 1};
}

// Calls pixel(x, site) for x in [first, end), two columns per step so that
// the site of each column phase is worked out once per row.
template <typename Pixel>
inline void forEachInRow(int first, int end, const Site phase[2], Pixel &&pixel)
{
    const Site &a = phase[first & 1];
    const Site &b = phase[(first + 1) & 1];
    int x = first;
    for (; x + 1 < end; x += 2) {
        pixel(x, a);
        pixel(x + 1, b);
    }
    if (x < end)
        pixel(x, a);
}

inline int clampTo(int value, int largest)
{
    return value < 0 ? 0 : (value > largest ? largest : value);
}

// Largest value of `bits`-bit samples; the 16-bit callers always pass 16,
// anything outside 1-16 is taken as 16 so that a clamp can never overflow.
inline int largestOfBits(int bits)
{
    return bits >= 1 && bits <= 16 ? (1 << bits) - 1 : 0xffff;
}
