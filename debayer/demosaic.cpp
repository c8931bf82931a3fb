#include "debayer/demosaic.h"

#include "debayer/demosaic_rows.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Where the red, green and blue samples of a 2x2 block sit, as offsets from
// its top-left sample. `green` is the one in the block's right column.
struct BlockOffsets {
    ptrdiff_t red;
    ptrdiff_t green;
    ptrdiff_t otherGreen;
    ptrdiff_t blue;
};

BlockOffsets blockOffsets(uint32_t word, int x, int y, ptrdiff_t width)
{
    const ptrdiff_t at[4] = {0, 1, width, width + 1};
    BlockOffsets block{};
    for (int i = 0; i < 4; ++i) {
        const int colour = colourAt(word, x + (i & 1), y + (i >> 1));
        if (colour == 0)
            block.red = at[i];
        else if (colour == 2)
            block.blue = at[i];
    }
    // A block holds its greens on one diagonal: if (x + 1, y) is not green,
    // (x + 1, y + 1) and (x, y) are.
    block.green = colourAt(word, x + 1, y) == 1 ? 1 : width + 1;
    block.otherGreen = colourAt(word, x, y) == 1 ? 0 : width;
    return block;
}

// Methods 0 and 1 into any layout: channel c of pixel i is at
// channel[c][i * kStep], so 3 walks an interleaved buffer and 1 a plane.
// Rows [firstRow, endRow) of the image; the last row of the image is black.
template <typename T, bool kAverageGreen, int kStep>
void nearestRows(const T *source, T *const channel[3], int width, int height, uint32_t word, int firstRow = 0,
                 int endRow = -1)
{
    if (endRow < 0)
        endRow = height;
    firstRow = std::max(firstRow, 0);
    endRow = std::min(endRow, height);
    if (width <= 0 || height <= 0 || firstRow >= endRow)
        return;
    const size_t w = size_t(width);
    const size_t rowValues = w * kStep;
    if (endRow == height) {
        for (int c = 0; c < 3; ++c) {
            T *last = channel[c] + (size_t(height) - 1) * rowValues;
            for (size_t x = 0; x < w; ++x)
                last[x * kStep] = 0;
        }
    }
    for (int y = firstRow; y + 1 < height && y < endRow; ++y) {
        const T *s = source + size_t(y) * w;
        T *r = channel[0] + size_t(y) * rowValues;
        T *g = channel[1] + size_t(y) * rowValues;
        T *b = channel[2] + size_t(y) * rowValues;
        const BlockOffsets even = blockOffsets(word, 0, y, width);
        const BlockOffsets odd = blockOffsets(word, 1, y, width);
        const auto put = [&](size_t x, const BlockOffsets &block) {
            const T *in = s + x;
            r[x * kStep] = in[block.red];
            if (kAverageGreen)
                g[x * kStep] = T((in[block.green] + in[block.otherGreen] + 1) >> 1);
            else
                g[x * kStep] = in[block.green];
            b[x * kStep] = in[block.blue];
        };
        size_t x = 0;
#if defined(__SSE2__)
        if constexpr (kStep == 1 && !kAverageGreen) {
            // A vector's even lanes come from the even blocks' sites, its odd
            // lanes from the odd blocks': one load at each offset and a
            // blend. Loads end at (x + 8 + width), inside the next row while
            // x + 9 <= w.
            const ptrdiff_t offsets[3][2] = {
                {even.red, odd.red}, {even.green, odd.green}, {even.blue, odd.blue}};
            T *const outs[3] = {r, g, b};
            const __m128i evenLanes = sizeof(T) == 1 ? _mm_set1_epi16(0x00ff) : _mm_set1_epi32(0x0000ffff);
            constexpr size_t lanes = 16 / sizeof(T);
            for (; x + lanes + 1 <= w; x += lanes) {
                for (int c = 0; c < 3; ++c) {
                    const __m128i fromEven =
                        _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + x + offsets[c][0]));
                    const __m128i fromOdd =
                        _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + x + offsets[c][1]));
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(outs[c] + x),
                                     _mm_or_si128(_mm_and_si128(evenLanes, fromEven), _mm_andnot_si128(evenLanes, fromOdd)));
                }
            }
        }
#endif
        for (; x + 2 < w; x += 2) {
            put(x, even);
            put(x + 1, odd);
        }
        if (x + 1 < w)
            put(x++, even);
        r[x * kStep] = g[x * kStep] = b[x * kStep] = 0;
    }
}

template <typename T>
inline void bilinearPixel(const T *s, T *o, ptrdiff_t w, const Site &site)
{
    if (site.colour == 1) {
        o[1] = s[0];
        o[site.across] = T((s[-1] + s[1] + 1) >> 1);
        o[site.along] = T((s[-w] + s[w] + 1) >> 1);
    } else {
        o[site.colour] = s[0];
        o[1] = T((s[-1] + s[1] + s[-w] + s[w] + 2) >> 2);
        o[site.across] = T((s[-w - 1] + s[-w + 1] + s[w - 1] + s[w + 1] + 2) >> 2);
    }
}

template <typename T>
int bilinear(const T *source, T *buffer, int width, int height, int pattern)
{
    const uint32_t word = patternWord(pattern);
    if (!word)
        return kDemosaicInvalidPattern;
    clearBorder(buffer, width, height, 1);
    const ptrdiff_t w = width;
    for (int y = 1; y + 1 < height; ++y) {
        const T *s = source + size_t(y) * size_t(w);
        T *o = buffer + size_t(y) * size_t(w) * 3;
        const Site phase[2] = {siteAt(word, 0, y), siteAt(word, 1, y)};
        forEachInRow(1, width - 1, phase, [&](int x, const Site &site) {
            bilinearPixel(s + x, o + 3 * x, w, site);
        });
    }
    return kDemosaicOk;
}

template <typename T>
inline void highQualityPixel(const T *s, T *o, ptrdiff_t w, const Site &site, int largest)
{
    const ptrdiff_t w2 = 2 * w;
    const int c = s[0];
    const int diagonal = s[-w - 1] + s[-w + 1] + s[w - 1] + s[w + 1];
    if (site.colour == 1) {
        const int across = (5 * c + 4 * (s[-1] + s[1]) - (s[-2] + s[2]) - diagonal +
                            ((s[-w2] + s[w2] + 1) >> 1) + 4) >> 3;
        const int along = (5 * c + 4 * (s[-w] + s[w]) - (s[-w2] + s[w2]) - diagonal +
                           ((s[-2] + s[2] + 1) >> 1) + 4) >> 3;
        o[1] = s[0];
        o[site.across] = T(clampTo(across, largest));
        o[site.along] = T(clampTo(along, largest));
    } else {
        const int far = s[-w2] + s[w2] + s[-2] + s[2];
        const int green = (4 * c + 2 * (s[-w] + s[w] + s[-1] + s[1]) - far + 4) >> 3;
        const int opposite = (6 * c + 2 * diagonal - ((3 * far + 1) >> 1) + 4) >> 3;
        o[site.colour] = s[0];
        o[1] = T(clampTo(green, largest));
        o[site.across] = T(clampTo(opposite, largest));
    }
}

template <typename T>
int highQuality(const T *source, T *buffer, int width, int height, int pattern, int largest)
{
    const uint32_t word = patternWord(pattern);
    if (!word)
        return kDemosaicInvalidPattern;
    clearBorder(buffer, width, height, 2);
    const ptrdiff_t w = width;
    for (int y = 2; y + 2 < height; ++y) {
        const T *s = source + size_t(y) * size_t(w);
        T *o = buffer + size_t(y) * size_t(w) * 3;
        const Site phase[2] = {siteAt(word, 0, y), siteAt(word, 1, y)};
        forEachInRow(2, width - 2, phase, [&](int x, const Site &site) {
            highQualityPixel(s + x, o + 3 * x, w, site, largest);
        });
    }
    return kDemosaicOk;
}

template <typename T>
int edgeSense(const T *source, T *buffer, int width, int height, int pattern)
{
    const uint32_t word = patternWord(pattern);
    if (!word)
        return kDemosaicInvalidPattern;
    constexpr int largest = std::numeric_limits<T>::max();
    const ptrdiff_t w = width;
    const ptrdiff_t w3 = 3 * w;
    const auto rowOf = [&](int y) { return source + size_t(y) * size_t(w); };
    const auto outOf = [&](int y) { return buffer + size_t(y) * size_t(w) * 3; };

    for (int y = 0; y < height; ++y) {
        const T *s = rowOf(y);
        T *o = outOf(y);
        const Site phase[2] = {siteAt(word, 0, y), siteAt(word, 1, y)};
        forEachInRow(0, width, phase, [&](int x, const Site &site) { o[3 * x + site.colour] = s[x]; });
    }

    // Green along the axis whose same-colour samples vary less; ties go to
    // the horizontal pair.
    for (int y = 2; y + 2 < height; ++y) {
        const T *row = rowOf(y);
        T *out = outOf(y);
        const Site phase[2] = {siteAt(word, 0, y), siteAt(word, 1, y)};
        forEachInRow(2, width - 2, phase, [&](int x, const Site &site) {
            if (site.colour == 1)
                return;
            const T *s = row + x;
            const int c = s[0];
            const int dh = std::abs(((s[-2] + s[2]) >> 1) - c);
            const int dv = std::abs(((s[-2 * w] + s[2 * w]) >> 1) - c);
            const int green = dh <= dv ? (s[-1] + s[1]) >> 1 : (s[-w] + s[w]) >> 1;
            out[3 * x + 1] = T(std::min(green, largest));
        });
    }

    // Red and blue from the differences to the now complete green. Only the
    // pixels outside the 3-pixel border are worth computing: their
    // neighbours all have an interpolated green.
    for (int y = 3; y + 3 < height; ++y) {
        const T *row = rowOf(y);
        T *out = outOf(y);
        const Site phase[2] = {siteAt(word, 0, y), siteAt(word, 1, y)};
        forEachInRow(3, width - 3, phase, [&](int x, const Site &site) {
            const T *s = row + x;
            T *o = out + 3 * x;
            if (site.colour == 1) {
                const int g = s[0];
                const int across = g + ((s[-1] - o[-3 + 1] + s[1] - o[3 + 1]) >> 1);
                const int along = g + ((s[-w] - o[-w3 + 1] + s[w] - o[w3 + 1]) >> 1);
                o[site.across] = T(clampTo(across, largest));
                o[site.along] = T(clampTo(along, largest));
            } else {
                const int g = o[1];
                const int sum = s[-w - 1] - o[-w3 - 3 + 1] + s[-w + 1] - o[-w3 + 3 + 1] +
                                s[w - 1] - o[w3 - 3 + 1] + s[w + 1] - o[w3 + 3 + 1];
                o[site.across] = T(clampTo(g + (sum >> 2), largest));
            }
        });
    }
    clearBorder(buffer, width, height, 3);
    return kDemosaicOk;
}

} // namespace

template <typename T>
void clearBorder(T *buffer, int width, int height, int border)
{
    if (width <= 0 || height <= 0 || border <= 0)
        return;
    const size_t rowValues = size_t(width) * 3;
    const int top = std::min(border, height);
    const int bottom = std::max(height - border, top);
    const int left = std::min(border, width);
    const int right = std::max(width - border, left);
    std::fill_n(buffer, size_t(top) * rowValues, T(0));
    std::fill_n(buffer + size_t(bottom) * rowValues, size_t(height - bottom) * rowValues, T(0));
    for (int y = top; y < bottom; ++y) {
        T *row = buffer + size_t(y) * rowValues;
        std::fill_n(row, size_t(left) * 3, T(0));
        std::fill_n(row + size_t(right) * 3, size_t(width - right) * 3, T(0));
    }
}

template <typename T>
int demosaicNearest(const T *source, T *buffer, int width, int height, int pattern)
{
    const uint32_t word = patternWord(pattern);
    if (!word)
        return kDemosaicInvalidPattern;
    T *const channel[3] = {buffer, buffer + 1, buffer + 2};
    nearestRows<T, false, 3>(source, channel, width, height, word);
    return kDemosaicOk;
}

template <typename T>
int demosaicNearestPlanar(const T *source, T *red, T *green, T *blue, int width, int height,
                          int pattern, int firstRow, int endRow)
{
    const uint32_t word = patternWord(pattern);
    if (!word)
        return kDemosaicInvalidPattern;
    T *const channel[3] = {red, green, blue};
    nearestRows<T, false, 1>(source, channel, width, height, word, firstRow, endRow);
    return kDemosaicOk;
}

ptrdiff_t nearestSite(int pattern, int channel, int x, int y, int width)
{
    const uint32_t word = patternWord(pattern);
    if (!word)
        return 0;
    const BlockOffsets block = blockOffsets(word, x & 1, y & 1, width);
    return channel == 0 ? block.red : channel == 1 ? block.green : block.blue;
}

template <typename T>
int demosaicSimple(const T *source, T *buffer, int width, int height, int pattern)
{
    const uint32_t word = patternWord(pattern);
    if (!word)
        return kDemosaicInvalidPattern;
    T *const channel[3] = {buffer, buffer + 1, buffer + 2};
    nearestRows<T, true, 3>(source, channel, width, height, word);
    return kDemosaicOk;
}

int demosaicBilinear(const uint8_t *source, uint8_t *buffer, int width, int height, int pattern)
{
    return bilinear(source, buffer, width, height, pattern);
}

int demosaicBilinear(const uint16_t *source, uint16_t *buffer, int width, int height, int pattern)
{
    return bilinear(source, buffer, width, height, pattern);
}

int demosaicHighQuality(const uint8_t *source, uint8_t *buffer, int width, int height, int pattern)
{
    return highQuality(source, buffer, width, height, pattern, 255);
}

int demosaicHighQuality(const uint16_t *source, uint16_t *buffer, int width, int height, int pattern,
                        int bits)
{
    return highQuality(source, buffer, width, height, pattern, largestOfBits(bits));
}

template <typename T>
int demosaicDownsample(const T *source, T *buffer, int width, int height, int pattern)
{
    const uint32_t word = patternWord(pattern);
    if (!word)
        return kDemosaicInvalidPattern;
    // Only whole blocks count: an odd last row or column is never read.
    const int outWidth = std::max(width, 0) / 2;
    const int outHeight = std::max(height, 0) / 2;
    const BlockOffsets block = blockOffsets(word, 0, 0, width);
    for (int j = 0; j < outHeight; ++j) {
        const T *s = source + size_t(2 * j) * size_t(width);
        T *o = buffer + size_t(j) * size_t(outWidth) * 3;
        for (int i = 0; i < outWidth; ++i, s += 2, o += 3) {
            o[0] = s[block.red];
            o[1] = T((s[block.green] + s[block.otherGreen]) >> 1);
            o[2] = s[block.blue];
        }
    }
    return kDemosaicOk;
}

template <typename T>
int demosaicEdgeSense(const T *source, T *buffer, int width, int height, int pattern)
{
    return edgeSense(source, buffer, width, height, pattern);
}

template <typename T>
int demosaic(int method, const T *source, T *buffer, int width, int height, int pattern)
{
    constexpr bool wide = sizeof(T) == 2;
    switch (method) {
    case kDemosaicNearest:
        return demosaicNearest(source, buffer, width, height, pattern);
    case kDemosaicSimple:
        return demosaicSimple(source, buffer, width, height, pattern);
    case kDemosaicBilinear:
        return demosaicBilinear(source, buffer, width, height, pattern);
    case kDemosaicHighQuality:
        if constexpr (wide)
            return demosaicHighQuality(source, buffer, width, height, pattern, 16);
        else
            return demosaicHighQuality(source, buffer, width, height, pattern);
    case kDemosaicDownsample:
        return demosaicDownsample(source, buffer, width, height, pattern);
    case kDemosaicEdgeSense:
        return demosaicEdgeSense(source, buffer, width, height, pattern);
    case kDemosaicGradients:
        if constexpr (wide)
            return demosaicGradients(source, buffer, width, height, pattern, 16);
        else
            return demosaicGradients(source, buffer, width, height, pattern);
    case kDemosaicHomogeneity:
        return demosaicHomogeneity(source, buffer, width, height, pattern);
    default:
        return kDemosaicInvalidMethod;
    }
}

#define SKYIMG_DEMOSAIC_INSTANTIATE(T)                                                        \
    template void clearBorder<T>(T *, int, int, int);                                        \
    template int demosaicNearest<T>(const T *, T *, int, int, int);                          \
    template int demosaicNearestPlanar<T>(const T *, T *, T *, T *, int, int, int, int, int);          \
    template int demosaicSimple<T>(const T *, T *, int, int, int);                           \
    template int demosaicDownsample<T>(const T *, T *, int, int, int);                       \
    template int demosaicEdgeSense<T>(const T *, T *, int, int, int);                        \
    template int demosaic<T>(int, const T *, T *, int, int, int);

SKYIMG_DEMOSAIC_INSTANTIATE(uint8_t)
SKYIMG_DEMOSAIC_INSTANTIATE(uint16_t)
