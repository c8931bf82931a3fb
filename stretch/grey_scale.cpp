#include "stretch/grey_scale.h"

#include <QThreadPool>
#include <QtConcurrent>

#include <algorithm>
#include <cstring>
#include <vector>

// The sampling tables and the fixed-point arithmetic below follow Qt's
// area-sampling scaler (qimagescale.cpp, itself from Imlib2) step by step,
// so that every grey level equals each of the three equal channels Qt
// computes on the expanded picture. Tests compare both on many sizes.

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

struct Tables {
    std::vector<int> xpoints, ypoints, xapoints, yapoints;
};

// Output rows [yStart, yEnd) when both directions shrink.
void downXY(const Tables &t, const uint8_t *src, ptrdiff_t sow, int dw, uint32_t *dest, int yStart, int yEnd)
{
    for (int y = yStart; y < yEnd; ++y) {
        const int cy = t.yapoints[size_t(y)] >> 16;
        const int yap = t.yapoints[size_t(y)] & 0xffff;
        uint32_t *out = dest + size_t(y) * size_t(dw);
        const uint8_t *row = src + t.ypoints[size_t(y)] * sow;
        for (int x = 0; x < dw; ++x) {
            const int cx = t.xapoints[size_t(x)] >> 16;
            const int xap = t.xapoints[size_t(x)] & 0xffff;
            const uint8_t *sptr = row + t.xpoints[size_t(x)];
            // A full-scale sum reaches 255 << 24, past the int range: the
            // reference wraps, so unsigned arithmetic gives its bits.
            uint32_t v = uint32_t(runSum(sptr, xap, cx, 1) >> 4) * uint32_t(yap);
            int j;
            for (j = (1 << 14) - yap; j > cy; j -= cy) {
                sptr += sow;
                v += uint32_t(runSum(sptr, xap, cx, 1) >> 4) * uint32_t(cy);
            }
            sptr += sow;
            v += uint32_t(runSum(sptr, xap, cx, 1) >> 4) * uint32_t(j);
            const uint32_t g = (v >> 24) & 0xff;
            out[x] = 0xff000000u | (g << 16) | (g << 8) | g;
        }
    }
}

// Output rows [yStart, yEnd) when the width shrinks and the height does not.
void downXUpY(const Tables &t, const uint8_t *src, ptrdiff_t sow, int dw, uint32_t *dest, int yStart, int yEnd)
{
    for (int y = yStart; y < yEnd; ++y) {
        uint32_t *out = dest + size_t(y) * size_t(dw);
        const uint8_t *row = src + t.ypoints[size_t(y)] * sow;
        const int yap = t.yapoints[size_t(y)];
        for (int x = 0; x < dw; ++x) {
            const int cx = t.xapoints[size_t(x)] >> 16;
            const int xap = t.xapoints[size_t(x)] & 0xffff;
            const uint8_t *sptr = row + t.xpoints[size_t(x)];
            int v = runSum(sptr, xap, cx, 1);
            if (yap > 0)
                v = (v * (256 - yap) + runSum(sptr + sow, xap, cx, 1) * yap) >> 8;
            const uint32_t g = uint32_t(v >> 14) & 0xff;
            out[x] = 0xff000000u | (g << 16) | (g << 8) | g;
        }
    }
}

} // namespace

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
    const int sw = picture.width(), sh = picture.height();
    if (picture.isNull() || width <= 0 || width >= sw || !isGreyRamp(picture))
        return {};
    // The target size as QImage::transformed() derives it for smooth scaling.
    const double factor = double(width) / sw;
    const int dw = int(factor * sw + 0.9999);
    const int dh = int(factor * sh + 0.9999);
    if (dw <= 0 || dh <= 0)
        return {};

    QImage result(dw, dh, QImage::Format_RGB32);
    if (result.isNull())
        return {};

    // Qt reads the expanded picture as one run of sw pixels a row, so runs
    // may step from the end of one row into the next; pack the rows the same
    // way (in place: each row only moves towards the start).
    uint8_t *bits = picture.bits();
    const size_t stride = size_t(picture.bytesPerLine());
    for (int y = 1; y < sh; ++y)
        std::memmove(bits + size_t(y) * size_t(sw), bits + size_t(y) * stride, size_t(sw));
    const uint8_t *src = bits;

    Tables t;
    t.xpoints = samplePoints(sw, dw);
    t.ypoints = samplePoints(sh, dh);
    t.xapoints = weightPoints(sw, dw, false);
    const bool yUp = dh >= sh;
    t.yapoints = weightPoints(sh, dh, yUp);

    uint32_t *dest = reinterpret_cast<uint32_t *>(result.bits());
    const ptrdiff_t sow = sw;

    // Bands of rows on the global pool; each band writes only its rows.
    const int bands = std::max(1, std::min(dh, QThreadPool::globalInstance()->maxThreadCount() * 4));
    QVector<QFuture<void>> futures;
    int y = 0;
    for (int b = 0; b < bands; ++b) {
        const int yn = (dh - y) / (bands - b);
        const int y0 = y, y1 = y + yn;
        futures.append(QtConcurrent::run(QThreadPool::globalInstance(), [&t, src, sow, dw, dest, y0, y1, yUp] {
            if (yUp)
                downXUpY(t, src, sow, dw, dest, y0, y1);
            else
                downXY(t, src, sow, dw, dest, y0, y1);
        }));
        y = y1;
    }
    for (QFuture<void> &f : futures)
        f.waitForFinished();
    picture = QImage();
    return result;
}
