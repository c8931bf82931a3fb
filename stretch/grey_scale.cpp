#include "stretch/grey_scale.h"

#include <QThreadPool>
#include <QVector>
#include <QtConcurrent>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

// The sampling tables and the fixed-point arithmetic below follow Qt's
// area-sampling scaler (qimagescale.cpp, itself from Imlib2) step by step.
// Qt computes every channel of a pixel alike and independently (its SSE4.1
// path in vector lanes, unsigned), so one grey level equals each of the
// three equal channels Qt computes for the expanded grey picture, and three
// planes give its red, green and blue. Tests compare both on many sizes.

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

// Index of the last sample a shrinking run reads: one with the first
// weight, one for each full weight that still leaves more than a full
// weight to give, and one with the rest.
int runLast(int first, int firstWeight, int weight)
{
    int last = first + 1;
    for (int j = (1 << 14) - firstWeight; j > weight; j -= weight)
        ++last;
    return last;
}

// Weighted sum of a run of samples `step` apart, in units of 1/16384.
inline int runSum(const uint8_t *pix, int firstWeight, int weight, ptrdiff_t step)
{
    int sum = *pix * firstWeight;
    int j;
    for (j = (1 << 14) - firstWeight; j > weight; j -= weight) {
        pix += step;
        sum += *pix * weight;
    }
    pix += step;
    return sum + *pix * j;
}

// Level of one channel when both directions shrink.
inline uint32_t levelDownXY(const uint8_t *sptr, ptrdiff_t sow, int xap, int cx, int yap, int cy)
{
    // A full-scale sum reaches 255 << 24, past the int range: Qt sums in
    // unsigned vector lanes, so unsigned arithmetic gives its bits.
    uint32_t v = uint32_t(runSum(sptr, xap, cx, 1) >> 4) * uint32_t(yap);
    int j;
    for (j = (1 << 14) - yap; j > cy; j -= cy) {
        sptr += sow;
        v += uint32_t(runSum(sptr, xap, cx, 1) >> 4) * uint32_t(cy);
    }
    sptr += sow;
    v += uint32_t(runSum(sptr, xap, cx, 1) >> 4) * uint32_t(j);
    return (v >> 24) & 0xff;
}

// Level of one channel when the width shrinks and the height does not.
inline uint32_t levelDownXUpY(const uint8_t *sptr, ptrdiff_t sow, int xap, int cx, int yap)
{
    int v = runSum(sptr, xap, cx, 1);
    if (yap > 0)
        v = (v * (256 - yap) + runSum(sptr + sow, xap, cx, 1) * yap) >> 8;
    return uint32_t(v >> 14) & 0xff;
}

struct Plan {
    int sw = 0, sh = 0, dw = 0, dh = 0;
    bool yUp = false;
    std::vector<int> xpoints, ypoints, xapoints, yapoints;
    std::vector<int> lastRow;  // last source row each output row reads
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
    plan.xpoints = samplePoints(sw, plan.dw);
    plan.ypoints = samplePoints(sh, plan.dh);
    plan.xapoints = weightPoints(sw, plan.dw, false);
    plan.yUp = plan.dh >= sh;
    plan.yapoints = weightPoints(sh, plan.dh, plan.yUp);

    // Qt reads each row as a run of sw pixels of one packed buffer: a run
    // that went past a row's end would read the next row, and past the last
    // row outside the picture. The tables never do that when they shrink,
    // but only a band that holds every sample read gives Qt's pixels.
    for (int x = 0; x < plan.dw; ++x) {
        const int xap = plan.xapoints[size_t(x)];
        if (runLast(plan.xpoints[size_t(x)], xap & 0xffff, xap >> 16) > sw - 1)
            return false;
    }
    plan.lastRow.resize(size_t(plan.dh));
    for (int y = 0; y < plan.dh; ++y) {
        const int first = plan.ypoints[size_t(y)];
        const int yap = plan.yapoints[size_t(y)];
        const int last = plan.yUp ? first + (yap > 0 ? 1 : 0) : runLast(first, yap & 0xffff, yap >> 16);
        if (last > sh - 1)
            return false;
        plan.lastRow[size_t(y)] = last;
    }
    return true;
}

// Output rows [y0, y1) from a band of `bandRows` source rows starting at
// row `bandFirst`, `kPlanes` planes of them one after another.
template <int kPlanes>
void scaleBand(const Plan &p, const uint8_t *band, int bandFirst, int bandRows, int y0, int y1, uint32_t *dest)
{
    const ptrdiff_t sow = p.sw;
    const size_t planeBytes = size_t(bandRows) * size_t(p.sw);
    for (int y = y0; y < y1; ++y) {
        const uint8_t *row = band + size_t(p.ypoints[size_t(y)] - bandFirst) * size_t(p.sw);
        const int yap = p.yapoints[size_t(y)];
        uint32_t *out = dest + size_t(y) * size_t(p.dw);
        for (int x = 0; x < p.dw; ++x) {
            const int cx = p.xapoints[size_t(x)] >> 16;
            const int xap = p.xapoints[size_t(x)] & 0xffff;
            const uint8_t *sptr = row + p.xpoints[size_t(x)];
            uint32_t level[kPlanes];
            for (int c = 0; c < kPlanes; ++c) {
                level[c] = p.yUp ? levelDownXUpY(sptr + c * planeBytes, sow, xap, cx, yap)
                                 : levelDownXY(sptr + c * planeBytes, sow, xap, cx, yap & 0xffff, yap >> 16);
            }
            if (kPlanes == 1)
                out[x] = 0xff000000u | (level[0] << 16) | (level[0] << 8) | level[0];
            else
                out[x] = 0xff000000u | (level[0] << 16) | (level[1] << 8) | level[kPlanes - 1];
        }
    }
}

// Source rows a band of about this many rows is cut to: small enough that
// the band stays in the cache between drawing and scaling.
constexpr int kBandSourceRows = 48;

} // namespace

QImage smoothScaledPlanesToWidth(int sw, int sh, int planes, int width, const PlaneRowSource &source)
{
    Plan plan;
    if ((planes != 1 && planes != 3) || !source || !makePlan(sw, sh, width, plan))
        return {};
    QImage result(plan.dw, plan.dh, QImage::Format_RGB32);
    if (result.isNull())
        return {};
    uint32_t *dest = reinterpret_cast<uint32_t *>(result.bits());

    // Bands of output rows on the global pool, each drawing the source rows
    // it reads into a buffer of its own; rows shared by two bands are drawn
    // twice. Waits run tasks no worker has taken, so this works from a pool
    // thread as well.
    const int rowsPerBand = std::max(1, int(int64_t(kBandSourceRows) * plan.dh / sh));
    std::atomic<bool> failed{false};
    QVector<QFuture<void>> tasks;
    tasks.reserve((plan.dh + rowsPerBand - 1) / rowsPerBand);
    for (int y0 = 0; y0 < plan.dh; y0 += rowsPerBand) {
        const int y1 = std::min(plan.dh, y0 + rowsPerBand);
        tasks.append(QtConcurrent::run(QThreadPool::globalInstance(), [&plan, &source, &failed, dest, planes, y0, y1] {
            const int first = plan.ypoints[size_t(y0)];
            const int last = *std::max_element(plan.lastRow.begin() + y0, plan.lastRow.begin() + y1);
            const int rows = last - first + 1;
            const size_t planeBytes = size_t(rows) * size_t(plan.sw);
            std::unique_ptr<uint8_t[]> band(new (std::nothrow) uint8_t[planeBytes * size_t(planes)]);
            if (!band) {
                failed = true;
                return;
            }
            for (int c = 0; c < planes; ++c)
                source(c, first, rows, band.get() + size_t(c) * planeBytes);
            if (planes == 1)
                scaleBand<1>(plan, band.get(), first, rows, y0, y1, dest);
            else
                scaleBand<3>(plan, band.get(), first, rows, y0, y1, dest);
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
