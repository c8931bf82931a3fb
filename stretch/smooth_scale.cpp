#include "stretch/smooth_scale.h"

#include <QThreadPool>
#include <QVector>
#include <QtConcurrent>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The sampling tables and the fixed-point arithmetic below are those of
// Qt's area-sampling scaler (qimagescale.cpp, itself from Imlib2); only the
// order of its integer additions differs (row by row, the runs of a row
// through prefix sums), which gives the same integers. Qt computes every
// channel of a pixel alike and independently (its SSE4.1 path in vector
// lanes, unsigned), so one grey level equals each of the three equal
// channels Qt computes for the expanded grey picture, and three planes give
// its red, green and blue. Tests compare both on many sizes.

namespace {

std::vector<int> samplePoints(int s, int d)
{
    std::vector<int> p(static_cast<size_t>(d));
    const bool up = d >= s;
    int64_t val = up ? 0x8000LL * s / d - 0x8000 : 0;
    const int64_t inc = (int64_t(s) << 16) / d;
    for (int i = 0; i < d; ++i) {
        p[size_t(i)] = int(std::max<int64_t>(0, val >> 16));
        val += inc;
    }
    return p;
}

std::vector<int> weightPoints(int s, int d, bool up)
{
    std::vector<int> p(static_cast<size_t>(d));
    if (up) {
        int64_t val = 0x8000LL * s / d - 0x8000;
        const int64_t inc = (int64_t(s) << 16) / d;
        for (int i = 0; i < d; ++i) {
            const int pos = int(val >> 16);
            p[size_t(i)] = (pos < 0 || pos >= s - 1) ? 0 : int((val >> 8) - ((val >> 8) & 0xffffff00));
            val += inc;
        }
    } else {
        int64_t val = 0;
        const int64_t inc = (int64_t(s) << 16) / d;
        const int cp = int(((int64_t(d) << 14) + s - 1) / s);
        for (int i = 0; i < d; ++i) {
            const int ap = int(((0x10000 - (val & 0xffff)) * cp) >> 16);
            p[size_t(i)] = ap | (cp << 16);
            val += inc;
        }
    }
    return p;
}

// Where the run of one output column lies in a source row (or of one
// output row in a column of rows) and what its ends weigh: the first sample
// takes `firstWeight`, those between the full weight of the direction, the
// last `lastWeight`; the weights add up to 1 << 14.
struct Run {
    int first = 0;
    int last = 0;
    int firstWeight = 0;
    int lastWeight = 0;
};

// A shrinking run as Qt walks it: the first sample, then one full weight
// after another while more than a full weight is left, then the rest.
Run shrinkingRun(int first, int firstWeight, int weight)
{
    Run run;
    run.first = first;
    run.firstWeight = firstWeight;
    int j = (1 << 14) - firstWeight;
    int last = first + 1;
    for (; j > weight; j -= weight)
        ++last;
    run.last = last;
    run.lastWeight = j;
    return run;
}

struct Plan {
    int sw = 0, sh = 0, dw = 0, dh = 0;
    bool yUp = false;
    int columnWeight = 0;      // full weight of a sample within a column run
    int rowWeight = 0;         // full weight of a row within a row run
    std::vector<Run> columns;  // per output column, in a source row
    std::vector<Run> rows;     // per output row: shrinking runs of rows, or
                               // (yUp) the row and its blend weight
};

// The tables of Qt's scaler for `sw` x `sh` to `width` wide; false when it
// is no narrowing or would read outside the source.
bool makePlan(int sw, int sh, int width, Plan &plan)
{
    if (sw <= 0 || sh <= 0 || width <= 0 || width >= sw)
        return false;
    // The target size as QImage::transformed() derives it for smooth scaling.
    const double factor = double(width) / sw;
    plan.sw = sw;
    plan.sh = sh;
    plan.dw = int(factor * sw + 0.9999);
    plan.dh = int(factor * sh + 0.9999);
    if (plan.dw <= 0 || plan.dh <= 0 || plan.dw >= sw)
        return false;
    const std::vector<int> xpoints = samplePoints(sw, plan.dw);
    const std::vector<int> ypoints = samplePoints(sh, plan.dh);
    const std::vector<int> xapoints = weightPoints(sw, plan.dw, false);
    plan.yUp = plan.dh >= sh;
    const std::vector<int> yapoints = weightPoints(sh, plan.dh, plan.yUp);

    // Qt reads each row as a run of sw pixels of one packed buffer: a run
    // that went past a row's end would read the next row, and past the last
    // row outside the picture. The tables never do that when they shrink,
    // but only runs within the source can be drawn row by row.
    plan.columnWeight = xapoints[0] >> 16;
    plan.columns.resize(size_t(plan.dw));
    for (int x = 0; x < plan.dw; ++x) {
        const int xap = xapoints[size_t(x)];
        plan.columns[size_t(x)] = shrinkingRun(xpoints[size_t(x)], xap & 0xffff, xap >> 16);
        if (plan.columns[size_t(x)].last > sw - 1)
            return false;
    }
    plan.rows.resize(size_t(plan.dh));
    for (int y = 0; y < plan.dh; ++y) {
        const int yap = yapoints[size_t(y)];
        Run &run = plan.rows[size_t(y)];
        if (plan.yUp) {
            // Rows blend with the next one by yap / 256 when it is above 0.
            run.first = ypoints[size_t(y)];
            run.last = run.first + (yap > 0 ? 1 : 0);
            run.firstWeight = 256 - yap;
            run.lastWeight = yap;
        } else {
            plan.rowWeight = yap >> 16;
            run = shrinkingRun(ypoints[size_t(y)], yap & 0xffff, yap >> 16);
        }
        if (run.last > sh - 1)
            return false;
    }
    return true;
}

// Qt's weighted sum of every output column's run in one row of levels, in
// units of 1/16384 (at most 255 << 14): the first and last samples by their
// weights, those between, all of one full weight, through prefix sums.
void columnSums(const Plan &p, const uint8_t *levels, int32_t *prefix, int32_t *sums)
{
    const int sw = p.sw;
    const int dw = p.dw;
    const int columnWeight = p.columnWeight;
    const Run *runs = p.columns.data();
    int32_t total = 0;
    prefix[0] = 0;
    int i = 0;
#if defined(__SSE2__)
    // Sixteen levels at a time: running sums within 16-bit lanes by
    // shifted adds, then widened and carried on in 32 bits.
    const __m128i zero = _mm_setzero_si128();
    __m128i carry = zero;
    for (; i + 16 <= sw; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(levels + i));
        __m128i low = _mm_unpacklo_epi8(v, zero);
        __m128i high = _mm_unpackhi_epi8(v, zero);
        low = _mm_add_epi16(low, _mm_slli_si128(low, 2));
        high = _mm_add_epi16(high, _mm_slli_si128(high, 2));
        low = _mm_add_epi16(low, _mm_slli_si128(low, 4));
        high = _mm_add_epi16(high, _mm_slli_si128(high, 4));
        low = _mm_add_epi16(low, _mm_slli_si128(low, 8));
        high = _mm_add_epi16(high, _mm_slli_si128(high, 8));
        const __m128i lowTotal = _mm_shufflehi_epi16(low, _MM_SHUFFLE(3, 3, 3, 3));
        high = _mm_add_epi16(high, _mm_unpackhi_epi64(lowTotal, lowTotal));
        const __m128i p0 = _mm_add_epi32(_mm_unpacklo_epi16(low, zero), carry);
        const __m128i p1 = _mm_add_epi32(_mm_unpackhi_epi16(low, zero), carry);
        const __m128i p2 = _mm_add_epi32(_mm_unpacklo_epi16(high, zero), carry);
        const __m128i p3 = _mm_add_epi32(_mm_unpackhi_epi16(high, zero), carry);
        __m128i *out = reinterpret_cast<__m128i *>(prefix + i + 1);
        _mm_storeu_si128(out, p0);
        _mm_storeu_si128(out + 1, p1);
        _mm_storeu_si128(out + 2, p2);
        _mm_storeu_si128(out + 3, p3);
        carry = _mm_shuffle_epi32(p3, _MM_SHUFFLE(3, 3, 3, 3));
    }
    total = _mm_cvtsi128_si32(carry);
#endif
    for (; i < sw; ++i) {
        total += levels[i];
        prefix[i + 1] = total;
    }
    for (int x = 0; x < dw; ++x) {
        const Run &run = runs[x];
        sums[x] = levels[run.first] * run.firstWeight + columnWeight * (prefix[run.last] - prefix[run.first + 1]) +
                  levels[run.last] * run.lastWeight;
    }
}

struct BandScratch {
    std::unique_ptr<uint8_t[]> levels;
    std::unique_ptr<int32_t[]> prefix;
    std::unique_ptr<int32_t[]> sums;
    std::unique_ptr<int32_t[]> nextSums;
    std::unique_ptr<uint32_t[]> totals;

    bool allocate(const Plan &p, size_t totalCount)
    {
        levels.reset(new (std::nothrow) uint8_t[size_t(p.sw)]);
        prefix.reset(new (std::nothrow) int32_t[size_t(p.sw) + 1]);
        sums.reset(new (std::nothrow) int32_t[size_t(p.dw)]);
        nextSums.reset(new (std::nothrow) int32_t[size_t(p.dw)]);
        totals.reset(new (std::nothrow) uint32_t[totalCount]);
        return levels && prefix && sums && nextSums && totals;
    }
};

// Output rows [y0, y1) of `planes` planes into `levelsOut` (plane after
// plane, dw levels a row) when both directions shrink: each source row is
// drawn once, summed per column, and added with its weight to every output
// row whose run holds it. The sums wrap in 32 bits as Qt's unsigned lanes
// do; the order of the additions does not change a wrapped sum.
bool shrinkBand(const Plan &p, const PlaneRowSource &source, const PlaneRowRepeats &repeats, int planes, int y0,
                int y1, BandScratch &scratch, uint8_t *levelsOut)
{
    const size_t bandRows = size_t(y1 - y0);
    const size_t dw = size_t(p.dw);
    if (!scratch.allocate(p, size_t(planes) * bandRows * dw))
        return false;
    std::fill_n(scratch.totals.get(), size_t(planes) * bandRows * dw, 0u);
    int firstRow = p.rows[size_t(y0)].first, lastRow = firstRow;
    for (int y = y0; y < y1; ++y) {
        firstRow = std::min(firstRow, p.rows[size_t(y)].first);
        lastRow = std::max(lastRow, p.rows[size_t(y)].last);
    }
    // The output rows each source row feeds, listed once for the band: a
    // search of the whole band per source row makes a tall, narrow picture
    // cost source rows times output rows.
    const size_t span = size_t(lastRow - firstRow) + 1;
    std::unique_ptr<uint32_t[]> feedStart(new (std::nothrow) uint32_t[span + 1]());
    size_t pairs = 0;
    for (int y = y0; y < y1; ++y)
        pairs += size_t(p.rows[size_t(y)].last - p.rows[size_t(y)].first) + 1;
    std::unique_ptr<int32_t[]> feeds(new (std::nothrow) int32_t[pairs]);
    std::unique_ptr<uint32_t[]> next(new (std::nothrow) uint32_t[span]);
    // Column sums of the last row drawn, per plane, for rows that repeat it.
    std::unique_ptr<int32_t[]> planeSums(new (std::nothrow) int32_t[size_t(planes) * dw]);
    if (!feedStart || !feeds || !next || !planeSums)
        return false;
    for (int y = y0; y < y1; ++y) {
        for (int r = p.rows[size_t(y)].first; r <= p.rows[size_t(y)].last; ++r)
            ++feedStart[size_t(r - firstRow) + 1];
    }
    for (size_t i = 0; i < span; ++i)
        feedStart[i + 1] += feedStart[i];
    std::copy_n(feedStart.get(), span, next.get());
    for (int y = y0; y < y1; ++y) {
        for (int r = p.rows[size_t(y)].first; r <= p.rows[size_t(y)].last; ++r)
            feeds[next[size_t(r - firstRow)]++] = y;
    }

    int drawnRow = firstRow - 2;
    for (int r = firstRow; r <= lastRow; ++r) {
        const size_t slot = size_t(r - firstRow);
        if (feedStart[slot] == feedStart[slot + 1])
            continue;
        for (int c = 0; c < planes; ++c) {
            int32_t *sums = planeSums.get() + size_t(c) * dw;
            if (!(drawnRow == r - 1 && repeats && repeats(c, r))) {
                source(c, r, 1, scratch.levels.get());
                columnSums(p, scratch.levels.get(), scratch.prefix.get(), sums);
            }
            for (uint32_t k = feedStart[slot]; k < feedStart[slot + 1]; ++k) {
                const int y = feeds[k];
                const Run &run = p.rows[size_t(y)];
                const uint32_t weight =
                    uint32_t(r == run.first ? run.firstWeight : r == run.last ? run.lastWeight : p.rowWeight);
                uint32_t *totals = scratch.totals.get() + (size_t(c) * bandRows + size_t(y - y0)) * dw;
                for (size_t x = 0; x < dw; ++x)
                    totals[x] += uint32_t(sums[x] >> 4) * weight;
            }
        }
        drawnRow = r;
    }
    const size_t count = size_t(planes) * bandRows * dw;
    for (size_t i = 0; i < count; ++i)
        levelsOut[i] = uint8_t(scratch.totals[i] >> 24);
    return true;
}

// The same when the width shrinks and the height does not: each output row
// blends one source row with the next.
bool blendBand(const Plan &p, const PlaneRowSource &source, const PlaneRowRepeats &, int planes, int y0, int y1,
               BandScratch &scratch, uint8_t *levelsOut)
{
    const size_t bandRows = size_t(y1 - y0);
    const size_t dw = size_t(p.dw);
    if (!scratch.allocate(p, 0))
        return false;
    for (int c = 0; c < planes; ++c) {
        for (int y = y0; y < y1; ++y) {
            const Run &run = p.rows[size_t(y)];
            uint8_t *out = levelsOut + (size_t(c) * bandRows + size_t(y - y0)) * dw;
            source(c, run.first, 1, scratch.levels.get());
            columnSums(p, scratch.levels.get(), scratch.prefix.get(), scratch.sums.get());
            if (run.last > run.first) {
                source(c, run.last, 1, scratch.levels.get());
                columnSums(p, scratch.levels.get(), scratch.prefix.get(), scratch.nextSums.get());
            }
            for (size_t x = 0; x < dw; ++x) {
                int v = scratch.sums[x];
                if (run.last > run.first)
                    v = (v * run.firstWeight + scratch.nextSums[x] * run.lastWeight) >> 8;
                out[x] = uint8_t(v >> 14);
            }
        }
    }
    return true;
}

// Output rows of a band per task: enough tasks to keep every thread busy,
// and per-task sums of at most about a megabyte.
int rowsPerBand(const Plan &p, int planes)
{
    const int threads = std::max(1, QThreadPool::globalInstance()->maxThreadCount());
    const int byThreads = std::max(1, p.dh / (4 * threads));
    const int byMemory = std::max(1, int((size_t(1) << 20) / (size_t(planes) * size_t(p.dw) * 4)));
    return std::min(byThreads, byMemory);
}

} // namespace

QImage smoothScaledPlanesToWidth(int sw, int sh, int planes, int width, const PlaneRowSource &source,
                                 const PlaneRowRepeats &repeats)
{
    Plan plan;
    if ((planes != 1 && planes != 3) || !source || !makePlan(sw, sh, width, plan))
        return {};
    QImage result(plan.dw, plan.dh, QImage::Format_RGB32);
    if (result.isNull())
        return {};
    uint32_t *dest = reinterpret_cast<uint32_t *>(result.bits());

    // Bands of output rows on the global pool, each drawing the source rows
    // it reads itself; a row shared by two bands is drawn twice. Waits run
    // tasks no worker has taken, so this works from a pool thread as well.
    const int bandRows = rowsPerBand(plan, planes);
    std::atomic<bool> failed{false};
    QVector<QFuture<void>> tasks;
    tasks.reserve((plan.dh + bandRows - 1) / bandRows);
    for (int y0 = 0; y0 < plan.dh; y0 += bandRows) {
        const int y1 = std::min(plan.dh, y0 + bandRows);
        tasks.append(QtConcurrent::run(QThreadPool::globalInstance(), [&plan, &source, &repeats, &failed, dest, planes,
                                                                       y0, y1] {
            const size_t dw = size_t(plan.dw);
            const size_t count = size_t(y1 - y0) * dw;
            std::unique_ptr<uint8_t[]> levels(new (std::nothrow) uint8_t[count * size_t(planes)]);
            BandScratch scratch;
            if (!levels ||
                !(plan.yUp ? blendBand : shrinkBand)(plan, source, repeats, planes, y0, y1, scratch, levels.get())) {
                failed = true;
                return;
            }
            // Qt's channels of the grey picture are three equal levels.
            const uint8_t *red = levels.get();
            const uint8_t *green = planes == 3 ? red + count : red;
            const uint8_t *blue = planes == 3 ? green + count : red;
            uint32_t *out = dest + size_t(y0) * dw;
            for (size_t i = 0; i < count; ++i)
                out[i] = 0xff000000u | uint32_t(red[i]) << 16 | uint32_t(green[i]) << 8 | blue[i];
        }));
    }
    for (QFuture<void> &task : tasks)
        task.waitForFinished();
    return failed ? QImage() : result;
}

bool isGreyRamp(const QImage &picture)
{
    if (picture.format() == QImage::Format_Grayscale8)
        return true;
    if (picture.format() != QImage::Format_Indexed8 || picture.colorCount() != 256)
        return false;
    const QVector<QRgb> table = picture.colorTable();
    for (int i = 0; i < 256; ++i)
        if (table[i] != qRgb(i, i, i))
            return false;
    return true;
}

QImage smoothScaledGreyToWidth(QImage &&picture, int width)
{
    if (picture.isNull() || !isGreyRamp(picture))
        return {};
    const uint8_t *bits = picture.constBits();
    const size_t stride = size_t(picture.bytesPerLine());
    const size_t sw = size_t(picture.width());
    QImage result = smoothScaledPlanesToWidth(picture.width(), picture.height(), 1, width,
                                              [bits, stride, sw](int, int firstRow, int rowCount, uint8_t *out) {
                                                  for (int i = 0; i < rowCount; ++i)
                                                      std::memcpy(out + size_t(i) * sw,
                                                                  bits + size_t(firstRow + i) * stride, sw);
                                              });
    // Consumed only when scaled here; otherwise the caller still has it.
    if (!result.isNull())
        picture = QImage();
    return result;
}
