#include "stretch/stretch_renderer.h"

#include "debayer/demosaic.h"
#include "image/image_types.h"

#include <QFuture>
#include <QThreadPool>
#include <QVector>
#include <QtConcurrent>

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <cmath>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Every rendered byte depends on the exact rounding of single-precision steps
// (the build also turns off contraction into fused multiply-adds for this
// file). Wider intermediate precision would change the output.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "the stretch needs strict single-precision evaluation (SSE on x86, not x87)"
#endif

namespace {

// Samples taken per plane for the median: enough for a stable estimate, small
// enough that a 24-megapixel plane is not copied.
constexpr size_t kSampleBudget = 500000;

// The subsample's samples lie a cache line or more apart, each a miss:
// asking for the one some steps ahead overlaps the waits.
template <typename T>
inline void prefetchAhead(const T *plane, size_t k, size_t step, size_t count)
{
    constexpr size_t kAhead = 16;
    if (step > 1 && k + kAhead < count)
        __builtin_prefetch(plane + (k + kAhead) * step);
}

// Scales a median absolute deviation to the standard deviation of normal noise.
constexpr double kMadToSigma = 1.4826;
// Distance of the clip points from the median, in those sigmas.
constexpr double kClipSigmas = 2.8;
// Where the transfer curve puts the background.
constexpr float kTargetBackground = 0.25f;

template <typename T>
using RealOf = std::conditional_t<std::is_same<T, double>::value, double, float>;

// Only 8- and 16-bit samples have few enough values for a table per channel;
// the table holds exactly the bytes the formula gives.
template <typename T>
constexpr bool kTabulated = std::is_same<T, uint8_t>::value || std::is_same<T, uint16_t>::value;

// Signed 16- and 32-bit samples are not rendered (the FITS loader reads
// such images as unsigned through CFITSIO's scaling).
template <typename T>
constexpr bool kRendered = !std::is_same<T, int16_t>::value && !std::is_same<T, int32_t>::value;

// Calls fn with the samples as their own type; false for types that are
// not rendered.
template <typename Fn>
bool visitSamples(SampleType sampleType, const void *pixels, Fn &&fn)
{
    bool rendered = false;
    withSampleType(sampleType, [&](auto sample) {
        using T = decltype(sample);
        if constexpr (kRendered<T>) {
            fn(static_cast<const T *>(pixels));
            rendered = true;
        }
    });
    return rendered;
}

// |x - median| in the sample type itself.
template <typename T>
T absoluteDeviation(T x, T median)
{
    return x < median ? T(median - x) : T(x - median);
}

// Two signed 64-bit samples can lie farther apart than the type holds.
template <>
int64_t absoluteDeviation(int64_t x, int64_t median)
{
    const uint64_t d = x < median ? uint64_t(median) - uint64_t(x) : uint64_t(x) - uint64_t(median);
    return d > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max() : int64_t(d);
}

template <typename T>
bool isMissing(T value)
{
    if constexpr (std::is_floating_point<T>::value) {
        return std::isnan(value);
    } else {
        static_cast<void>(value);
        return false;
    }
}

// A clip point on the sample scale: truncated toward zero for integer types,
// saturating where the product lies beyond the type (the highlights of 32-bit
// data reach 2^32), kept as it is for floating point.
template <typename T>
T thresholdOf(float product)
{
    if constexpr (std::is_floating_point<T>::value) {
        return T(product);
    } else {
        const double p = product;
        if (std::isnan(p))
            return T(0);
        if (p >= double(std::numeric_limits<T>::max()))
            return std::numeric_limits<T>::max();
        if (p <= double(std::numeric_limits<T>::lowest()))
            return std::numeric_limits<T>::lowest();
        return T(p);
    }
}

// Truncation to an integer, then its low eight bits. Results outside the
// 32-bit range, NaN among them, give 0, as the x86 conversion does (its
// "integer indefinite" 0x80000000 ends in a zero byte); a sample at the
// shadow point of a constant plane computes 0/0 and must come out black.
inline uint8_t lowByte(float r)
{
    return (r > -2147483648.0f && r < 2147483648.0f) ? uint8_t(int32_t(r)) : 0;
}

inline uint8_t lowByte(double r)
{
    return (r > -2147483649.0 && r < 2147483648.0) ? uint8_t(int32_t(r)) : 0;
}

float maxInputOf(int64_t inputRange)
{
    return float(inputRange > 1 ? inputRange - 1 : inputRange);
}

// The values of one channel that do not depend on the sample.
template <typename T>
struct ChannelTransfer {
    using Real = RealOf<T>;
    T shadowThreshold;
    T highlightThreshold;
    Real numeratorFactor;
    Real denominatorFactor;
    Real midtones;

    uint8_t operator()(T v) const
    {
        if (v < shadowThreshold)
            return 0;
        if (v >= highlightThreshold)
            return 255;
        const T d = T(v - shadowThreshold);
        const Real x = Real(d);
        return lowByte(numeratorFactor * x / (denominatorFactor * x - midtones));
    }
};

template <typename T>
ChannelTransfer<T> prepareChannel(const ChannelStretchParams &p, float maxInput)
{
    const float s = p.shadows;
    const float h = p.highlights;
    const float m = p.midtones;
    const float clipScale = h == s ? 1.0f : 1.0f / (h - s);
    const float numeratorFactor = (m - 1.0f) * clipScale * 255.0f / maxInput;
    const float denominatorFactor = (2.0f * m - 1.0f) * clipScale / maxInput;
    ChannelTransfer<T> t;
    t.shadowThreshold = thresholdOf<T>(s * maxInput);
    t.highlightThreshold = thresholdOf<T>(h * maxInput);
    t.numeratorFactor = numeratorFactor;
    t.denominatorFactor = denominatorFactor;
    t.midtones = m;
    return t;
}

template <typename T>
struct TransferTable {
    const uint8_t *entries;
    uint8_t operator()(T v) const { return entries[v]; }
};

template <typename T>
std::vector<uint8_t> tabulate(const ChannelTransfer<T> &transfer)
{
    std::vector<uint8_t> table(size_t(std::numeric_limits<T>::max()) + 1);
    for (size_t v = 0; v < table.size(); ++v)
        table[v] = transfer(T(v));
    return table;
}

template <typename T, typename Map>
void stretchLine(const T *line, int width, int sampling, const Map &map, uint8_t *out)
{
    for (int x = 0; x < width; x += sampling)
        *out++ = map(line[x]);
}

#if defined(__SSE2__)
// Floating-point samples between the clip points cost a division each; the
// vector units do four (two for doubles) at once. The steps are those of
// ChannelTransfer in the same precision (IEEE arithmetic, no contraction),
// and the truncating conversion gives 0x80000000 for NaN and values out of
// range, whose low byte 0 is what lowByte() gives for them.
inline __m128i levelsOf(__m128 v, const ChannelTransfer<float> &t)
{
    const __m128 shadow = _mm_set1_ps(t.shadowThreshold);
    const __m128 below = _mm_cmplt_ps(v, shadow);
    const __m128 clipped = _mm_cmpge_ps(v, _mm_set1_ps(t.highlightThreshold));
    const __m128 d = _mm_sub_ps(v, shadow);
    const __m128 r = _mm_div_ps(_mm_mul_ps(_mm_set1_ps(t.numeratorFactor), d),
                                _mm_sub_ps(_mm_mul_ps(_mm_set1_ps(t.denominatorFactor), d), _mm_set1_ps(t.midtones)));
    __m128i level = _mm_and_si128(_mm_cvttps_epi32(r), _mm_set1_epi32(0xff));
    level = _mm_or_si128(_mm_andnot_si128(_mm_castps_si128(clipped), level),
                         _mm_and_si128(_mm_castps_si128(clipped), _mm_set1_epi32(255)));
    return _mm_andnot_si128(_mm_castps_si128(below), level);
}

inline __m128i levelsOf(__m128d low, __m128d high, const ChannelTransfer<double> &t)
{
    const auto half = [&t](__m128d v) {
        const __m128d shadow = _mm_set1_pd(t.shadowThreshold);
        const __m128d below = _mm_cmplt_pd(v, shadow);
        const __m128d clipped = _mm_cmpge_pd(v, _mm_set1_pd(t.highlightThreshold));
        const __m128d d = _mm_sub_pd(v, shadow);
        const __m128d r = _mm_div_pd(_mm_mul_pd(_mm_set1_pd(t.numeratorFactor), d),
                                     _mm_sub_pd(_mm_mul_pd(_mm_set1_pd(t.denominatorFactor), d), _mm_set1_pd(t.midtones)));
        // Two 32-bit results in the low half; the masks narrow to match.
        __m128i level = _mm_and_si128(_mm_cvttpd_epi32(r), _mm_set1_epi32(0xff));
        const __m128i below32 = _mm_shuffle_epi32(_mm_castpd_si128(below), _MM_SHUFFLE(3, 3, 2, 0));
        const __m128i clipped32 = _mm_shuffle_epi32(_mm_castpd_si128(clipped), _MM_SHUFFLE(3, 3, 2, 0));
        level = _mm_or_si128(_mm_andnot_si128(clipped32, level), _mm_and_si128(clipped32, _mm_set1_epi32(255)));
        return _mm_andnot_si128(below32, level);
    };
    return _mm_unpacklo_epi64(half(low), half(high));
}

inline void storeLevels(__m128i levels, uint8_t *out)
{
    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(levels, levels), levels);
    const int32_t four = _mm_cvtsi128_si32(bytes);
    std::memcpy(out, &four, 4);
}

inline void stretchLine(const float *line, int width, int sampling, const ChannelTransfer<float> &map, uint8_t *out)
{
    int x = 0;
    if (sampling == 1) {
        for (; x + 4 <= width; x += 4, out += 4)
            storeLevels(levelsOf(_mm_loadu_ps(line + x), map), out);
    }
    for (; x < width; x += sampling)
        *out++ = map(line[x]);
}

inline void stretchLine(const double *line, int width, int sampling, const ChannelTransfer<double> &map, uint8_t *out)
{
    int x = 0;
    if (sampling == 1) {
        for (; x + 4 <= width; x += 4, out += 4)
            storeLevels(levelsOf(_mm_loadu_pd(line + x), _mm_loadu_pd(line + x + 2), map), out);
    }
    for (; x < width; x += sampling)
        *out++ = map(line[x]);
}
// Three planes into opaque RGB pixels, four at a time.
template <typename T>
inline void stretchLine3Vector(const T *red, size_t planeSize, int width, const ChannelTransfer<T> &mapRed,
                               const ChannelTransfer<T> &mapGreen, const ChannelTransfer<T> &mapBlue, QRgb *out,
                               int &x)
{
    const T *green = red + planeSize;
    const T *blue = green + planeSize;
    const auto levels = [](const T *line, int at, const ChannelTransfer<T> &map) {
        if constexpr (std::is_same<T, float>::value)
            return levelsOf(_mm_loadu_ps(line + at), map);
        else
            return levelsOf(_mm_loadu_pd(line + at), _mm_loadu_pd(line + at + 2), map);
    };
    const __m128i opaque = _mm_set1_epi32(int32_t(0xff000000u));
    for (; x + 4 <= width; x += 4) {
        const __m128i pixels =
            _mm_or_si128(_mm_or_si128(opaque, _mm_slli_epi32(levels(red, x, mapRed), 16)),
                         _mm_or_si128(_mm_slli_epi32(levels(green, x, mapGreen), 8), levels(blue, x, mapBlue)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), pixels);
    }
}
#endif

template <typename T, typename Map>
void stretchLine3(const T *red, size_t planeSize, int width, int sampling, const Map &mapRed, const Map &mapGreen,
                  const Map &mapBlue, QRgb *out)
{
    const T *green = red + planeSize;
    const T *blue = green + planeSize;
    int x = 0;
#if defined(__SSE2__)
    if constexpr (std::is_floating_point<T>::value && std::is_same<Map, ChannelTransfer<T>>::value) {
        if (sampling == 1) {
            stretchLine3Vector(red, planeSize, width, mapRed, mapGreen, mapBlue, out, x);
            out += x;
        }
    }
#endif
    for (; x < width; x += sampling)
        *out++ = 0xff000000u | uint32_t(mapRed(red[x])) << 16 | uint32_t(mapGreen(green[x])) << 8 | mapBlue(blue[x]);
}

int outputExtent(int extent, int sampling)
{
    return (extent + sampling - 1) / sampling;
}

// One task per output row on the global pool, waited for in order. A wait
// on a task no worker has picked up runs it in this thread, so this also
// works from inside a pool task.
template <typename RowFn>
void renderRows(int rows, const RowFn &row)
{
    QThreadPool *pool = QThreadPool::globalInstance();
    QVector<QFuture<void>> tasks;
    tasks.reserve(rows);
    for (int y = 0; y < rows; ++y)
        tasks.append(QtConcurrent::run(pool, [row, y] { row(y); }));
    for (QFuture<void> &task : tasks)
        task.waitForFinished();
}

// Rows of each rendered plane through its transfer: the same tables and
// formulas as run(), so the same levels.
template <typename T>
class PlaneLevelsOf : public PlaneLevels
{
public:
    PlaneLevelsOf(const T *buffer, int width, int height, int planes, const StretchParams &params, float maxInput)
        : buffer(buffer), width(width), planeSize(size_t(width) * size_t(height))
    {
        for (int c = 0; c < planes; ++c) {
            transfers[c] = prepareChannel<T>(params.channel[c], maxInput);
            if constexpr (kTabulated<T>)
                tables[c] = tabulate(transfers[c]);
        }
    }

    void rows(int plane, int firstRow, int rowCount, uint8_t *out) const override
    {
        const T *line = buffer + size_t(plane) * planeSize + size_t(firstRow) * size_t(width);
        for (int r = 0; r < rowCount; ++r, line += width, out += width) {
            if constexpr (kTabulated<T>)
                stretchLine(line, width, 1, TransferTable<T>{tables[plane].data()}, out);
            else
                stretchLine(line, width, 1, transfers[plane], out);
        }
    }

private:
    const T *buffer;
    int width;
    size_t planeSize;
    ChannelTransfer<T> transfers[3] = {};
    std::vector<uint8_t> tables[3];
};

// The element at index `rank` of the ascending order of float samples
// without NaN, by counting the top and then the low 16 bits of keys whose
// unsigned order is the order of the floats: two passes where a selection
// swaps elements about many times over. Zeros of either sign compare equal
// and come out as +0, which every later step treats as -0.
float floatAtRank(const std::vector<float> &values, size_t rank)
{
    const auto key = [](float f) {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        if (bits == 0x80000000u)
            bits = 0;
        return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
    };
    std::vector<uint32_t> counts(65536, 0);
    for (const float v : values)
        ++counts[key(v) >> 16];
    size_t seen = 0;
    uint32_t top = 0;
    while (seen + counts[top] <= rank)
        seen += counts[top++];
    std::fill(counts.begin(), counts.end(), 0u);
    for (const float v : values) {
        const uint32_t k = key(v);
        if ((k >> 16) == top)
            ++counts[k & 0xffff];
    }
    uint32_t low = 0;
    while (seen + counts[low] <= rank)
        seen += counts[low++];
    const uint32_t k = (top << 16) | low;
    const uint32_t bits = (k & 0x80000000u) ? (k & 0x7fffffffu) : ~k;
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// The planes of a nearest-neighbour demosaic, read from its mosaic.
template <typename T>
struct MosaicView {
    const T *source = nullptr;  // the first mosaic row that feeds the planes
    size_t width = 0;
    size_t rows = 0;            // mosaic rows from `source` on
    ptrdiff_t sites[3][2][2] = {};  // [plane][y & 1][x & 1]

    MosaicView(const T *mosaic, int width, int height, int pattern, int offsetY)
        : source(mosaic + size_t(offsetY) * size_t(width)), width(size_t(width)),
          rows(size_t(std::max(height - offsetY, 0)))
    {
        for (int c = 0; c < 3; ++c)
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 2; ++x)
                    sites[c][y][x] = nearestSite(pattern, c, x, y, width);
    }

    // Whether plane row y holds samples; the others are black, like the
    // last column of every row.
    bool rowHoldsSamples(size_t y) const { return width >= 2 && y + 1 < rows; }

    T at(int plane, size_t x, size_t y) const
    {
        if (x + 1 >= width || !rowHoldsSamples(y))
            return T(0);
        return source[y * width + x + sites[plane][y & 1][x & 1]];
    }
};

// The levels of a plane row by row from the mosaic, through the same
// tables as the planes take.
template <typename T>
class MosaicLevelsOf : public PlaneLevels
{
public:
    MosaicLevelsOf(const MosaicView<T> &view, const StretchParams &params, float maxInput) : view(view)
    {
        for (int c = 0; c < 3; ++c)
            tables[c] = tabulate(prepareChannel<T>(params.channel[c], maxInput));
    }

    void rows(int plane, int firstRow, int rowCount, uint8_t *out) const override
    {
        const uint8_t *table = tables[plane].data();
        const size_t width = view.width;
        for (int r = 0; r < rowCount; ++r, out += width) {
            const size_t y = size_t(firstRow + r);
            if (!view.rowHoldsSamples(y)) {
                std::fill_n(out, width, table[0]);
                continue;
            }
            const T *line = view.source + y * width;
            // Pixel x (even) reads line[x + even], pixel x + 1 line[x + odd].
            const ptrdiff_t even = view.sites[plane][y & 1][0];
            const ptrdiff_t odd = view.sites[plane][y & 1][1] + 1;
            size_t x = 0;
            if (odd == even) {
                // Red and blue take each site for two pixels: one look-up.
                for (; x + 2 < width; x += 2)
                    out[x] = out[x + 1] = table[line[ptrdiff_t(x) + even]];
            } else if (odd == even + 2) {
                // The same for the pixels x + 1 and x + 2.
                uint8_t shared = table[line[even]];
                for (; x + 2 < width; x += 2) {
                    out[x] = shared;
                    shared = table[line[ptrdiff_t(x) + odd]];
                    out[x + 1] = shared;
                }
            } else {
                for (; x + 2 < width; x += 2) {
                    out[x] = table[line[ptrdiff_t(x) + even]];
                    out[x + 1] = table[line[ptrdiff_t(x) + odd]];
                }
            }
            if (x + 1 < width) {
                out[x] = table[line[ptrdiff_t(x) + even]];
                ++x;
            }
            out[x] = table[0];
        }
    }

    bool repeatsRow(int plane, int row) const override
    {
        if (row < 1)
            return false;
        const size_t y = size_t(row);
        const bool holds = view.rowHoldsSamples(y);
        if (holds != view.rowHoldsSamples(y - 1))
            return false;
        if (!holds)
            return true;
        // Both rows read one mosaic row at the same columns: red and blue
        // rows come in pairs.
        const ptrdiff_t width = ptrdiff_t(view.width);
        const ptrdiff_t *here = view.sites[plane][y & 1];
        const ptrdiff_t *above = view.sites[plane][(y - 1) & 1];
        return width + here[0] == above[0] && width + here[1] == above[1];
    }

private:
    MosaicView<T> view;
    std::vector<uint8_t> tables[3];
};

// The median and the median absolute deviation of a subsample of 8- or
// 16-bit samples from `counts` of its `count` values: the elements that
// selection puts at index count / 2, without copying or reordering.
template <typename T>
void medianAndDeviationOfCounts(const std::vector<uint32_t> &counts, size_t count, T &median, T &mad)
{
    const size_t middle = count / 2;
    size_t seen = 0;
    size_t m = 0;
    while (seen + counts[m] <= middle)
        seen += counts[m++];
    median = T(m);
    // Deviation d counts the values m - d and m + d.
    seen = counts[m];
    size_t d = 0;
    while (seen <= middle) {
        ++d;
        seen += (m + d < counts.size() ? counts[m + d] : 0) + (d <= m ? counts[m - d] : 0);
    }
    mad = T(d);
}

template <typename T>
void countedMedianAndDeviation(const T *plane, size_t sampleCount, T &median, T &mad)
{
    const size_t step = sampleCount >= kSampleBudget ? sampleCount / kSampleBudget : 1;
    const size_t count = sampleCount / step;
    std::vector<uint32_t> counts(size_t(std::numeric_limits<T>::max()) + 1, 0);
    for (size_t k = 0; k < count; ++k) {
        prefetchAhead(plane, k, step, count);
        ++counts[plane[k * step]];
    }
    medianAndDeviationOfCounts(counts, count, median, mad);
}

// The same subsample of the three planes read from the mosaic, in one walk
// whose three look-ups share the cache lines: plane index k * step walked as
// a column and a row, where a division per sample would cost several times
// as much.
template <typename T>
void countMosaicSubsample(const MosaicView<T> &view, size_t height, std::vector<uint32_t> counts[3], size_t &count)
{
    const size_t width = view.width;
    const size_t sampleCount = width * height;
    const size_t step = sampleCount >= kSampleBudget ? sampleCount / kSampleBudget : 1;
    count = sampleCount / step;
    for (int c = 0; c < 3; ++c)
        counts[c].assign(size_t(std::numeric_limits<T>::max()) + 1, 0);
    const size_t across = step % width, down = step / width;
    size_t x = 0, y = 0;
    for (size_t k = 0; k < count; ++k) {
        const size_t ahead = y * width + x + 16 * step;
        if (step > 1 && ahead < view.rows * width)
            __builtin_prefetch(view.source + ahead);
        for (int c = 0; c < 3; ++c)
            ++counts[c][view.at(c, x, y)];
        x += across;
        y += down;
        if (x >= width) {
            x -= width;
            ++y;
        }
    }
}

// Shadows, highlights and midtones of a plane from its median and median
// absolute deviation on the sample scale.
template <typename T>
ChannelStretchParams paramsOf(T median, T mad, int64_t inputRange)
{
    ChannelStretchParams result;
    float m;
    if constexpr (std::is_same<T, double>::value)
        m = float(median / double(inputRange));
    else
        m = float(median) / float(inputRange);
    const float madn = float(kMadToSigma * double(float(mad)) / double(inputRange));

    if (m > 0.5f) {
        // The median lies in the upper half: keep the shadows, clip above.
        result.shadows = 0.0f;
        result.highlights =
            madn == 0.0f ? 1.0f : float(std::min(1.0, std::max(0.0, double(m) + kClipSigmas * double(madn))));
        result.midtones = StretchRenderer::midtonesTransfer(result.highlights - m, kTargetBackground);
    } else {
        result.shadows =
            madn == 0.0f ? 0.0f : float(std::min(1.0, std::max(0.0, double(madn) * -kClipSigmas + double(m))));
        result.highlights = 1.0f;
        result.midtones = StretchRenderer::midtonesTransfer(kTargetBackground, m - result.shadows);
    }
    return result;
}


} // namespace

StretchRenderer::StretchRenderer(int width, int height, int channels, SampleType sampleType)
    : width(width), height(height), channels(channels), inputRange(sampleType == SampleType::UInt8 ? 256 : 65536),
      sampleType(sampleType)
{
}

int StretchRenderer::renderedPlanes() const
{
    if (channels == 3)
        return 3;
    return channels >= 1 ? 1 : 0;
}

void StretchRenderer::detectInputRange(const void *pixels)
{
    if (!pixels)
        return;
    const size_t planeSize = size_t(std::max(width, 0)) * size_t(std::max(height, 0));
    if ((sampleType == SampleType::Float || sampleType == SampleType::Double) && inputRange > 1) {
        // A sparse look suffices: normalised data stays at or below 1
        // everywhere, and one bright sample is enough to tell otherwise.
        float maximum = 0.0f;
        if (sampleType == SampleType::Float) {
            const float *samples = static_cast<const float *>(pixels);
            for (size_t i = 0; i < planeSize; i += 1000)
                maximum = samples[i] > maximum ? samples[i] : maximum;
        } else {
            const double *samples = static_cast<const double *>(pixels);
            double widest = 0.0;
            for (size_t i = 0; i < planeSize; i += 1000)
                widest = samples[i] > widest ? samples[i] : widest;
            maximum = float(widest);
        }
        if (maximum <= 1.01f)
            inputRange = 1;
    } else if (sampleType == SampleType::UInt32 && !uint32RangeDetected) {
        // 32-bit integers come either as 16-bit camera data in a wider
        // container, which should look like the 16-bit file, or spread over
        // the whole type (scaled by 65536 or so), which the full range maps
        // to the same normalised values. The whole of every rendered plane is
        // looked at, so that a few bright stars decide as well.
        uint32RangeDetected = true;
        const uint32_t *samples = static_cast<const uint32_t *>(pixels);
        const size_t count = planeSize * size_t(renderedPlanes());
        uint32_t maximum = 0;
        for (size_t i = 0; i < count; ++i)
            maximum = std::max(maximum, samples[i]);
        inputRange = maximum <= 65535 ? 65536 : int64_t(1) << 32;
    }
}

bool StretchRenderer::setMosaic(int pattern, int offsetY)
{
    if (!patternWord(pattern) || (offsetY != 0 && offsetY != 1) || channels != 3 ||
        (sampleType != SampleType::UInt8 && sampleType != SampleType::UInt16))
        return false;
    mosaicPattern = pattern;
    mosaicOffsetY = offsetY;
    return true;
}

StretchParams StretchRenderer::computeParams(const void *pixels)
{
    detectInputRange(pixels);
    StretchParams result;
    if (!pixels)
        return result;
    if (mosaicPattern) {
        visitSamples(sampleType, pixels, [&](const auto *samples) {
            using T = std::remove_const_t<std::remove_pointer_t<decltype(samples)>>;
            if constexpr (kTabulated<T>) {
                if (width <= 0 || height <= 0)
                    return;
                const MosaicView<T> view(samples, width, height, mosaicPattern, mosaicOffsetY);
                std::vector<uint32_t> counts[3];
                size_t count = 0;
                countMosaicSubsample(view, size_t(height), counts, count);
                for (int c = 0; c < 3; ++c) {
                    T median, mad;
                    medianAndDeviationOfCounts(counts[c], count, median, mad);
                    result.channel[c] = paramsOf(median, mad, inputRange);
                }
            }
        });
        return result;
    }
    const size_t planeSize = size_t(std::max(width, 0)) * size_t(std::max(height, 0));
    for (int c = 0; c < renderedPlanes(); ++c) {
        visitSamples(sampleType, pixels, [&](const auto *samples) {
            result.channel[c] = computeChannelParams(samples + c * planeSize, width, height, inputRange);
        });
    }
    return result;
}

bool StretchRenderer::run(const void *pixels, QImage &image, int sampling)
{
    const int planes = renderedPlanes();
    if (!pixels || mosaicPattern || planes == 0 || width <= 0 || height <= 0 || sampling < 1)
        return false;
    const QImage::Format format = planes == 3 ? QImage::Format_RGB32 : QImage::Format_Indexed8;
    if (image.format() != format || image.width() != outputExtent(width, sampling) ||
        image.height() != outputExtent(height, sampling))
        return false;
    detectInputRange(pixels);
    return visitSamples(sampleType, pixels, [&](const auto *samples) {
        if (planes == 3)
            stretchThreeChannels(samples, image, params, inputRange, height, width, sampling);
        else
            stretchOneChannel(samples, image, params, inputRange, height, width, sampling);
    });
}

std::unique_ptr<PlaneLevels> StretchRenderer::planeLevels(const void *pixels)
{
    const int planes = renderedPlanes();
    if (!pixels || planes == 0 || width <= 0 || height <= 0)
        return nullptr;
    detectInputRange(pixels);
    std::unique_ptr<PlaneLevels> levels;
    visitSamples(sampleType, pixels, [&](const auto *samples) {
        using T = std::remove_const_t<std::remove_pointer_t<decltype(samples)>>;
        if constexpr (kTabulated<T>) {
            if (mosaicPattern) {
                const MosaicView<T> view(samples, width, height, mosaicPattern, mosaicOffsetY);
                levels = std::make_unique<MosaicLevelsOf<T>>(view, params, maxInputOf(inputRange));
                return;
            }
        }
        levels = std::make_unique<PlaneLevelsOf<T>>(samples, width, height, planes, params, maxInputOf(inputRange));
    });
    return levels;
}

template <typename T>
void StretchRenderer::stretchOneChannel(const T *buffer, QImage &image, const StretchParams &params,
                                        int64_t inputRange, int height, int width, int sampling)
{
    const ChannelTransfer<T> transfer = prepareChannel<T>(params.channel[0], maxInputOf(inputRange));
    // Row pointers are taken here, once: scanLine() from the tasks would
    // touch the image's shared bookkeeping from several threads.
    uint8_t *const bits = image.bits();
    const qsizetype bytesPerLine = image.bytesPerLine();
    const size_t rowStride = size_t(sampling) * size_t(width);
    const auto renderWith = [&](const auto &map) {
        renderRows(outputExtent(height, sampling), [=](int y) {
            stretchLine(buffer + size_t(y) * rowStride, width, sampling, map, bits + y * bytesPerLine);
        });
    };
    if constexpr (kTabulated<T>) {
        const std::vector<uint8_t> table = tabulate(transfer);
        renderWith(TransferTable<T>{table.data()});
    } else {
        renderWith(transfer);
    }
}

template <typename T>
void StretchRenderer::stretchThreeChannels(const T *buffer, QImage &image, const StretchParams &params,
                                           int64_t inputRange, int height, int width, int sampling)
{
    const float maxInput = maxInputOf(inputRange);
    const ChannelTransfer<T> red = prepareChannel<T>(params.channel[0], maxInput);
    const ChannelTransfer<T> green = prepareChannel<T>(params.channel[1], maxInput);
    const ChannelTransfer<T> blue = prepareChannel<T>(params.channel[2], maxInput);
    uint8_t *const bits = image.bits();
    const qsizetype bytesPerLine = image.bytesPerLine();
    const size_t planeSize = size_t(width) * size_t(height);
    const size_t rowStride = size_t(sampling) * size_t(width);
    const auto renderWith = [&](const auto &mapRed, const auto &mapGreen, const auto &mapBlue) {
        renderRows(outputExtent(height, sampling), [=](int y) {
            stretchLine3(buffer + size_t(y) * rowStride, planeSize, width, sampling, mapRed, mapGreen, mapBlue,
                         reinterpret_cast<QRgb *>(bits + y * bytesPerLine));
        });
    };
    if constexpr (kTabulated<T>) {
        const std::vector<uint8_t> redTable = tabulate(red);
        const std::vector<uint8_t> greenTable = tabulate(green);
        const std::vector<uint8_t> blueTable = tabulate(blue);
        renderWith(TransferTable<T>{redTable.data()}, TransferTable<T>{greenTable.data()},
                   TransferTable<T>{blueTable.data()});
    } else {
        renderWith(red, green, blue);
    }
}

template <typename T>
std::vector<T> StretchRenderer::planeSubsample(const T *plane, size_t sampleCount)
{
    const size_t step = sampleCount >= kSampleBudget ? sampleCount / kSampleBudget : 1;
    const size_t count = sampleCount / step;
    std::vector<T> samples;
    samples.reserve(count);
    for (size_t k = 0; k < count; ++k) {
        prefetchAhead(plane, k, step, count);
        // NaN has no place in an ordering: selection over it is undefined.
        const T value = plane[k * step];
        if (!isMissing(value))
            samples.push_back(value);
    }
    return samples;
}

template <typename T>
T StretchRenderer::sampleMedian(std::vector<T> &values)
{
    if (values.empty())
        return T();
    if constexpr (std::is_same<T, float>::value)
        return floatAtRank(values, values.size() / 2);
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

float StretchRenderer::midtonesTransfer(float m, float x)
{
    if (x == 0.0f)
        return 0.0f;
    if (x == m)
        return 0.5f;
    if (x == 1.0f)
        return 1.0f;
    return (m - 1.0f) * x / ((2.0f * m - 1.0f) * x - m);
}

template <typename T>
ChannelStretchParams StretchRenderer::computeChannelParams(const T *plane, int width, int height, int64_t inputRange)
{
    ChannelStretchParams result;
    if (!plane || width <= 0 || height <= 0 || inputRange <= 0)
        return result;
    T median, mad;
    if constexpr (kTabulated<T>) {
        countedMedianAndDeviation(plane, size_t(width) * size_t(height), median, mad);
    } else {
        std::vector<T> samples = planeSubsample(plane, size_t(width) * size_t(height));
        if (samples.empty())
            return result;
        median = sampleMedian(samples);
        // The deviations' median does not depend on their order, so they
        // overwrite the reordered copy instead of taking a second vector.
        for (T &value : samples)
            value = absoluteDeviation(value, median);
        mad = sampleMedian(samples);
    }

    return paramsOf(median, mad, inputRange);
}

#define SKYIMG_STRETCH_INSTANCES(T)                                                                                 \
    template ChannelStretchParams StretchRenderer::computeChannelParams<T>(const T *, int, int, int64_t);          \
    template std::vector<T> StretchRenderer::planeSubsample<T>(const T *, size_t);                                  \
    template T StretchRenderer::sampleMedian<T>(std::vector<T> &);

SKYIMG_STRETCH_INSTANCES(uint8_t)
SKYIMG_STRETCH_INSTANCES(uint16_t)
SKYIMG_STRETCH_INSTANCES(uint32_t)
SKYIMG_STRETCH_INSTANCES(float)
SKYIMG_STRETCH_INSTANCES(int64_t)
SKYIMG_STRETCH_INSTANCES(double)
