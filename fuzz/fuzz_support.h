#pragma once

// Shared by the fuzz targets: the input cap, single-threaded pool set-up and
// the rendering step of a preview over a loaded image.

#include "image/fits_data.h"
#include "stretch/narrow.h"
#include "stretch/stretch_renderer.h"

#include <QImage>
#include <QThreadPool>
#include <QVector>

#include <cstddef>
#include <cstdint>

// Inputs above 16 MiB add nothing a smaller one cannot reach.
constexpr size_t kMaxFuzzInputBytes = 16u << 20;

// One pool worker: the nested statistics and rendering tasks still run,
// since a wait on a task that no worker has taken runs it in the waiting
// thread, but runs are reproducible and the fuzzer's time is spent on
// inputs rather than on thread hand-offs.
inline void useOnePoolThread()
{
    static const bool done = [] {
        QThreadPool::globalInstance()->setMaxThreadCount(1);
        return true;
    }();
    static_cast<void>(done);
}

// Renders a loaded image as the preview does (stretch parameters from the
// samples, every row through them) and narrows it to `widthLimit`.
inline QImage renderForFuzzing(const FITSData &data, int widthLimit, int quality)
{
    const ImageStatistics &stats = data.stats;
    if (stats.width == 0 || stats.height == 0 || stats.channels == 0)
        return QImage();
    const bool colour = stats.channels == 3;
    QImage picture(stats.width, stats.height, colour ? QImage::Format_RGB32 : QImage::Format_Indexed8);
    if (picture.isNull())
        return picture;
    if (!colour) {
        QVector<QRgb> grey(256);
        for (int i = 0; i < 256; ++i)
            grey[i] = qRgb(i, i, i);
        picture.setColorTable(grey);
    }
    const size_t needed = size_t(stats.width) * stats.height * stats.channels *
                          size_t(bitsPerSampleOf(stats.sampleType) / 8);
    if (!data.pixels || data.pixelBytes < needed)
        return QImage();
    StretchRenderer renderer(stats.width, stats.height, stats.channels, stats.sampleType);
    renderer.setParams(renderer.computeParams(data.pixels.get()));
    if (!renderer.run(data.pixels.get(), picture, 1))
        return QImage();
    return narrowToWidth(picture, stats.width, widthLimit, quality);
}
