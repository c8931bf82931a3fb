// Method 6: variable number of gradients. Each pixel of the bilinear image
// gets eight directional gradients; only the directions at most halfway
// between the smoothest and the roughest are averaged.

#include "debayer/demosaic.h"

#include "debayer/demosaic_rows.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Gradient terms (y1, x1, y2, x2, weight, mask): |value(y1, x1) -
// value(y2, x2)| << weight feeds every gradient whose bit is in mask. The
// two positions carry the same colour, which the pattern decides per phase.
const int kTerms[64][6] = {
    {-2, -2, 0, -1, 0, 0x01}, {-2, -2, 0, 0, 1, 0x01},  {-2, -1, -1, 0, 0, 0x01},
    {-2, -1, 0, -1, 0, 0x02}, {-2, -1, 0, 0, 0, 0x03},  {-2, -1, 0, 1, 1, 0x01},
    {-2, 0, 0, -1, 0, 0x06},  {-2, 0, 0, 0, 1, 0x02},   {-2, 0, 0, 1, 0, 0x03},
    {-2, 1, -1, 0, 0, 0x04},  {-2, 1, 0, -1, 1, 0x04},  {-2, 1, 0, 0, 0, 0x06},
    {-2, 1, 0, 1, 0, 0x02},   {-2, 2, 0, 0, 1, 0x04},   {-2, 2, 0, 1, 0, 0x04},
    {-1, -2, -1, 0, 0, 0x80}, {-1, -2, 0, -1, 0, 0x01}, {-1, -2, 1, -1, 0, 0x01},
    {-1, -2, 1, 0, 1, 0x01},  {-1, -1, -1, 1, 0, 0x88}, {-1, -1, 1, -2, 0, 0x40},
    {-1, -1, 1, -1, 0, 0x22}, {-1, -1, 1, 0, 0, 0x33},  {-1, -1, 1, 1, 1, 0x11},
    {-1, 0, -1, 2, 0, 0x08},  {-1, 0, 0, -1, 0, 0x44},  {-1, 0, 0, 1, 0, 0x11},
    {-1, 0, 1, -2, 1, 0x40},  {-1, 0, 1, -1, 0, 0x66},  {-1, 0, 1, 0, 1, 0x22},
    {-1, 0, 1, 1, 0, 0x33},   {-1, 0, 1, 2, 1, 0x10},   {-1, 1, 1, -1, 1, 0x44},
    {-1, 1, 1, 0, 0, 0x66},   {-1, 1, 1, 1, 0, 0x22},   {-1, 1, 1, 2, 0, 0x10},
    {-1, 2, 0, 1, 0, 0x04},   {-1, 2, 1, 0, 1, 0x04},   {-1, 2, 1, 1, 0, 0x04},
    {0, -2, 0, 0, 1, 0x80},   {0, -1, 0, 1, 1, 0x88},   {0, -1, 1, -2, 0, 0x40},
    {0, -1, 1, 0, 0, 0x11},   {0, -1, 2, -2, 0, 0x40},  {0, -1, 2, -1, 0, 0x20},
    {0, -1, 2, 0, 0, 0x30},   {0, -1, 2, 1, 1, 0x10},   {0, 0, 0, 2, 1, 0x08},
    {0, 0, 2, -2, 1, 0x40},   {0, 0, 2, -1, 0, 0x60},   {0, 0, 2, 0, 1, 0x20},
    {0, 0, 2, 1, 0, 0x30},    {0, 0, 2, 2, 1, 0x10},    {0, 1, 1, 0, 0, 0x44},
    {0, 1, 1, 2, 0, 0x10},    {0, 1, 2, -1, 1, 0x40},   {0, 1, 2, 0, 0, 0x60},
    {0, 1, 2, 1, 0, 0x20},    {0, 1, 2, 2, 0, 0x10},    {1, -2, 1, 0, 0, 0x80},
    {1, -1, 1, 1, 0, 0x88},   {1, 0, 1, 2, 0, 0x08},    {1, 0, 2, -1, 0, 0x40},
    {1, 0, 2, 1, 0, 0x10},
};

// (dy, dx) of gradients 0-7, clockwise from the upper left.
const signed char kDirections[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, 1},
                                       {1, 1},   {1, 0},  {1, -1}, {0, -1}};

struct GradientTerm {
    ptrdiff_t first;   // offsets into the interleaved image, colour included
    ptrdiff_t second;
    int weight;
    int count;         // gradients fed
    uint8_t gradients[8];
};

struct Neighbour {
    ptrdiff_t offset;    // of the neighbour's first value
    ptrdiff_t twoSteps;  // of the site colour two steps away, when usable
    bool hasTwoSteps;
};

// Everything a pixel of one pattern phase (row mod 8, column mod 2) needs.
struct Phase {
    int site;
    int termCount;
    GradientTerm terms[64];
    Neighbour neighbours[8];
};

void buildPhase(Phase &phase, uint32_t word, int r, int c, ptrdiff_t width)
{
    phase.site = colourAt(word, c, r);
    phase.termCount = 0;
    for (const auto &t : kTerms) {
        const int y1 = t[0], x1 = t[1], y2 = t[2], x2 = t[3];
        const int colour = colourAt(word, c + x1, r + y1);
        if (colourAt(word, c + x2, r + y2) != colour)
            continue;
        // Where the colour sits on both diagonals, a pair spanning two
        // steps diagonally says nothing the closer pairs do not.
        const int diag =
            colourAt(word, c + 1, r) == colour && colourAt(word, c, r + 1) == colour ? 2 : 1;
        if (std::abs(y1 - y2) == diag && std::abs(x1 - x2) == diag)
            continue;
        GradientTerm &term = phase.terms[phase.termCount++];
        term.first = (y1 * width + x1) * 3 + colour;
        term.second = (y2 * width + x2) * 3 + colour;
        term.weight = t[4];
        term.count = 0;
        for (int g = 0; g < 8; ++g)
            if (t[5] & (1 << g))
                term.gradients[term.count++] = uint8_t(g);
    }
    for (int g = 0; g < 8; ++g) {
        const int dy = kDirections[g][0], dx = kDirections[g][1];
        Neighbour &n = phase.neighbours[g];
        n.offset = (dy * width + dx) * 3;
        n.hasTwoSteps = colourAt(word, c + dx, r + dy) != phase.site &&
                        colourAt(word, c + 2 * dx, r + 2 * dy) == phase.site;
        n.twoSteps = n.hasTwoSteps ? (2 * dy * width + 2 * dx) * 3 + phase.site : 0;
    }
}

template <typename T>
inline void gradientPixel(const T *pix, T *out, const Phase &phase, int largest)
{
    int grad[8] = {};
    for (int t = 0; t < phase.termCount; ++t) {
        const GradientTerm &term = phase.terms[t];
        const int diff = std::abs(int(pix[term.first]) - int(pix[term.second])) << term.weight;
        for (int k = 0; k < term.count; ++k)
            grad[term.gradients[k]] += diff;
    }
    int gmin = grad[0], gmax = grad[0];
    for (int g = 1; g < 8; ++g) {
        gmin = std::min(gmin, grad[g]);
        gmax = std::max(gmax, grad[g]);
    }
    if (gmax == 0) {
        out[0] = pix[0];
        out[1] = pix[1];
        out[2] = pix[2];
        return;
    }
    const int threshold = gmin + (gmax >> 1);
    const int site = phase.site;
    int sum[3] = {0, 0, 0};
    int count = 0;
    for (int g = 0; g < 8; ++g) {
        if (grad[g] > threshold)
            continue;
        const Neighbour &n = phase.neighbours[g];
        for (int k = 0; k < 3; ++k) {
            if (k == site && n.hasTwoSteps)
                sum[k] += (pix[site] + pix[n.twoSteps]) >> 1;
            else
                sum[k] += pix[n.offset + k];
        }
        ++count;
    }
    const int own = pix[site];
    for (int k = 0; k < 3; ++k)
        out[k] = k == site ? T(own) : T(clampTo(own + (sum[k] - sum[site]) / count, largest));
}

template <typename T>
int gradients(const T *source, T *buffer, int width, int height, int pattern, int largest)
{
    const uint32_t word = patternWord(pattern);
    if (!word)
        return kDemosaicInvalidPattern;
    const size_t rowValues = size_t(std::max(width, 0)) * 3;
    std::unique_ptr<Phase[]> phases(new (std::nothrow) Phase[16]);
    // Results wait here until no later row reads the bilinear values they
    // replace: row y is read up to row y + 2.
    std::unique_ptr<T[]> ring(new (std::nothrow) T[3 * rowValues]);
    if (!phases || !ring)
        return kDemosaicNoMemory;

    demosaicBilinear(source, buffer, width, height, pattern);
    if (width < 5 || height < 5)
        return kDemosaicOk;
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 2; ++c)
            buildPhase(phases[r * 2 + c], word, r, c, width);

    const size_t innerBytes = size_t(width - 4) * 3 * sizeof(T);
    const auto writeBack = [&](int y) {
        std::memcpy(buffer + size_t(y) * rowValues + 6, ring.get() + size_t(y % 3) * rowValues + 6,
                    innerBytes);
    };
    for (int y = 2; y + 2 < height; ++y) {
        const T *row = buffer + size_t(y) * rowValues;
        T *results = ring.get() + size_t(y % 3) * rowValues;
        const Phase *rowPhases = &phases[(y & 7) * 2];
        for (int x = 2; x + 2 < width; x += 2) {
            gradientPixel(row + 3 * x, results + 3 * x, rowPhases[0], largest);
            if (x + 3 < width)
                gradientPixel(row + 3 * x + 3, results + 3 * x + 3, rowPhases[1], largest);
        }
        if (y >= 4)
            writeBack(y - 2);
    }
    for (int y = std::max(2, height - 4); y + 2 < height; ++y)
        writeBack(y);
    return kDemosaicOk;
}

} // namespace

int demosaicGradients(const uint8_t *source, uint8_t *buffer, int width, int height, int pattern)
{
    return gradients(source, buffer, width, height, pattern, 255);
}

int demosaicGradients(const uint16_t *source, uint16_t *buffer, int width, int height, int pattern,
                      int bits)
{
    return gradients(source, buffer, width, height, pattern, largestOfBits(bits));
}
