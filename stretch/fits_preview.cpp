#include "stretch/fits_preview.h"

#include "image/fits_data.h"
#include "image/sample_memory.h"
#include "stretch/narrow.h"
#include "stretch/smooth_scale.h"
#include "stretch/stretch_renderer.h"

#include <utility>

namespace {

void setError(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
}

QImage greyPicture(int width, int height)
{
    QImage picture(width, height, QImage::Format_Indexed8);
    if (picture.isNull())
        return picture;
    QVector<QRgb> grey(256);
    for (int i = 0; i < 256; ++i)
        grey[i] = qRgb(i, i, i);
    picture.setColorTable(grey);
    return picture;
}

bool holdsSamples(const ImageStatistics &stats, QString *error)
{
    if (stats.width == 0 || stats.height == 0 || stats.channels == 0) {
        setError(error, QStringLiteral("the image holds no samples"));
        return false;
    }
    return true;
}

bool bufferHoldsImage(const FITSData &data, QString *error)
{
    const ImageStatistics &stats = data.stats;
    // In 64 bits: the product of a large shape wraps a 32-bit size_t.
    const uint64_t bytesPerSample = uint64_t(bitsPerSampleOf(stats.sampleType) / 8);
    const uint64_t planes = data.holdsMosaic ? 1 : stats.channels;
    const uint64_t needed = uint64_t(stats.width) * uint64_t(stats.height) * planes * bytesPerSample;
    if (!data.pixels || data.pixelBytes < needed) {
        setError(error, QStringLiteral("the sample buffer is smaller than the image"));
        return false;
    }
    return true;
}

// A flat first channel has no spread to stretch.
bool isFlat(const ImageStatistics &stats)
{
    return stats.minimum[0] == stats.maximum[0];
}

// Renders the loaded image at its full size; a null picture on failure.
QImage renderImage(FITSData &data, QString *error)
{
    const ImageStatistics &stats = data.stats;
    const int width = stats.width;
    const int height = stats.height;
    if (!holdsSamples(stats, error))
        return {};
    // Three planes make a colour picture; any other count shows its first
    // plane in grey.
    const bool colour = stats.channels == 3;
    QImage picture = colour ? QImage(width, height, QImage::Format_RGB32) : greyPicture(width, height);
    if (picture.isNull()) {
        setError(error, QStringLiteral("cannot allocate a %1 x %2 picture").arg(width).arg(height));
        return {};
    }

    adviseHugePages(picture.bits(), size_t(picture.sizeInBytes()));

    // A flat image shows as white.
    if (isFlat(stats)) {
        if (colour)
            picture.fill(qRgb(255, 255, 255));
        else
            picture.fill(255u);
        return picture;
    }

    // The full-size picture is as large as the planes of a mosaic.
    if (!data.expandMosaic()) {
        setError(error, QStringLiteral("cannot allocate the colour planes"));
        return {};
    }
    if (!bufferHoldsImage(data, error))
        return {};
    StretchRenderer renderer(width, height, stats.channels, stats.sampleType);
    renderer.setParams(renderer.computeParams(data.pixels.get()));
    if (!renderer.run(data.pixels.get(), picture, 1)) {
        setError(error,
                 QStringLiteral("samples of type %1 cannot be rendered").arg(sampleTypeCode(stats.sampleType)));
        return {};
    }
    return picture;
}

// The smooth narrowing straight from the samples: each band of output rows
// renders only the rows it reads, so the full-size picture never exists.
// The pixels are those of rendering in full and then narrowing. Null when
// this way does not apply; the full-size way then runs.
QImage renderNarrowed(const FITSData &data, int widthLimit, int quality)
{
    const ImageStatistics &stats = data.stats;
    if (quality <= 50 || widthLimit <= 0 || widthLimit >= stats.width || !holdsSamples(stats, nullptr) ||
        isFlat(stats) || !bufferHoldsImage(data, nullptr))
        return {};
    StretchRenderer renderer(stats.width, stats.height, stats.channels, stats.sampleType);
    if (data.holdsMosaic && !renderer.setMosaic(data.bayer.pattern, data.bayer.offsetY))
        return {};
    renderer.setParams(renderer.computeParams(data.pixels.get()));
    const std::unique_ptr<PlaneLevels> levels = renderer.planeLevels(data.pixels.get());
    if (!levels)
        return {};
    const PlaneLevels *source = levels.get();
    return smoothScaledPlanesToWidth(
        stats.width, stats.height, renderer.renderedPlanes(), widthLimit,
        [source](int plane, int firstRow, int rowCount, uint8_t *out) { source->rows(plane, firstRow, rowCount, out); },
        [source](int plane, int row) { return source->repeatsRow(plane, row); });
}

} // namespace

QImage fitsPreview(const QString &path, int widthLimit, int quality, QString *error)
{
    QImage picture;
    int referenceWidth = 0;
    {
        FITSData data;
        data.previewOnly = true;
        if (!data.startLoad(path).result()) {
            setError(error, data.loadError.isEmpty() ? QStringLiteral("the file could not be loaded") : data.loadError);
            return {};
        }
        picture = renderNarrowed(data, widthLimit, quality);
        if (!picture.isNull())
            return picture;
        picture = renderImage(data, error);
        if (picture.isNull())
            return {};
        referenceWidth = data.stats.width;
        // The image object and its samples go before the scaling, which
        // needs a large buffer of its own.
    }
    return narrowToWidth(std::move(picture), referenceWidth, widthLimit, quality);
}
