#include "stretch/fits_preview.h"

#include "image/fits_data.h"
#include "stretch/narrow.h"
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

// Renders the loaded image at its full size; a null picture on failure.
QImage renderImage(const FITSData &data, QString *error)
{
    const ImageStatistics &stats = data.stats;
    const int width = stats.width;
    const int height = stats.height;
    if (width == 0 || height == 0 || stats.channels == 0) {
        setError(error, QStringLiteral("the image holds no samples"));
        return {};
    }
    // Three planes make a colour picture; any other count shows its first
    // plane in grey.
    const bool colour = stats.channels == 3;
    QImage picture = colour ? QImage(width, height, QImage::Format_RGB32) : greyPicture(width, height);
    if (picture.isNull()) {
        setError(error, QStringLiteral("cannot allocate a %1 x %2 picture").arg(width).arg(height));
        return {};
    }

    // A flat first channel has no spread to stretch: it shows as white.
    if (stats.minimum[0] == stats.maximum[0]) {
        if (colour)
            picture.fill(qRgb(255, 255, 255));
        else
            picture.fill(255u);
        return picture;
    }

    const size_t bytesPerSample = size_t(bitsPerSampleOf(stats.sampleType) / 8);
    const size_t needed = size_t(width) * size_t(height) * stats.channels * bytesPerSample;
    if (!data.pixels || data.pixelBytes < needed) {
        setError(error, QStringLiteral("the sample buffer is smaller than the image"));
        return {};
    }
    StretchRenderer renderer(width, height, stats.channels, stats.sampleType);
    renderer.setParams(renderer.computeParams(data.pixels.get()));
    if (!renderer.run(data.pixels.get(), picture, 1)) {
        setError(error, QStringLiteral("samples of type %1 cannot be rendered").arg(stats.sampleType));
        return {};
    }
    return picture;
}

} // namespace

QImage fitsPreview(const QString &path, int widthLimit, int quality, QString *error)
{
    QImage picture;
    int referenceWidth = 0;
    {
        FITSData data;
        if (!data.startLoad(path).result()) {
            setError(error, data.loadError.isEmpty() ? QStringLiteral("the file could not be loaded") : data.loadError);
            return {};
        }
        picture = renderImage(data, error);
        if (picture.isNull())
            return {};
        referenceWidth = data.stats.width;
        // The image object and its samples go before the scaling, which
        // needs a large buffer of its own.
    }
    return narrowToWidth(std::move(picture), referenceWidth, widthLimit, quality);
}
