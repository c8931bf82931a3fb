// The region-of-interest slot of the image object: a copy of the rectangle's
// samples, measured like the whole image. It lives with the statistics it
// ends in, so that image/ does not call up into stats/.

#include "image/fits_data.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

void FITSData::makeRoiBuffer(QRect roi)
{
    const int x1 = roi.left() , y1 = roi.top();
    const int x2 = roi.right(), y2 = roi.bottom();
    if (y2 < y1 || x2 < x1)
        return;
    // A rectangle reaching outside the image would copy from outside the
    // planes; it is ignored like the other invalid ones.
    if (x1 < 1 || y1 < 1 || x2 > stats.width || y2 > stats.height || !pixels)
        return;
    const uint64_t w = uint64_t(x2 - x1 + 1), h = uint64_t(y2 - y1 + 1);
    const uint64_t area = w * h;
    if (area > stats.samplesPerChannel || area == 1)
        return;

    const size_t bps = size_t(stats.bytesPerSample);
    roiPixels.reset(new uint8_t[stats.channels * area * bps]());
    uint8_t *out = roiPixels.get();
    for (int c = 0; c < stats.channels; ++c) {
        for (int y = y1; y <= y2; ++y) {
            const size_t sample = size_t(c) * stats.samplesPerChannel + size_t(y - 1) * stats.width + size_t(x1 - 1);
            std::memcpy(out, pixels.get() + sample * bps, w * bps);
            out += w * bps;
        }
    }
    roiStats = stats;
    roiStats.samplesPerChannel = uint32_t(area);
    roiStats.width = uint16_t(w);
    roiStats.height = uint16_t(h);
    computeStatistics(true);
}
