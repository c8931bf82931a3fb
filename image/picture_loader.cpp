#include "image/picture_loader.h"

#include "image/fits_data.h"
#include "image/limits.h"

#include <QBuffer>
#include <QFileInfo>

#include <algorithm>
#include <new>

namespace {

// A picture becomes up to three 8-bit planes; anything larger than the
// image model holds is refused, before decoding when the format tells.
bool withinImageModel(const QSize &size)
{
    return size.width() > 0 && size.height() > 0 && uint64_t(size.width()) <= kMaxAxisLength &&
           uint64_t(size.height()) <= kMaxAxisLength &&
           uint64_t(size.width()) * uint64_t(size.height()) * kMaxChannels <= kMaxImageBytes;
}

QString sizeText(const QSize &size)
{
    return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
}

void setError(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
}

} // namespace

// A decoded picture holds 4 bytes per pixel at most; the image model's
// limits keep a crafted header from asking for an enormous allocation.
bool pictureSizeAllowed(const QSize &size, QString *error)
{
    if (!size.isValid())
        return true;
    if (uint32_t(size.width()) > kMaxAxisLength || uint32_t(size.height()) > kMaxAxisLength
        || uint64_t(size.width()) * uint64_t(size.height()) * 4 > kMaxImageBytes) {
        setError(error, QStringLiteral("the picture is %1 x %2 pixels, more than a side of %3 allows")
                            .arg(size.width())
                            .arg(size.height())
                            .arg(kMaxAxisLength));
        return false;
    }
    return true;
}

QImage decodePicture(QImageReader &reader, QString *error)
{
    if (!pictureSizeAllowed(reader.size(), error))
        return QImage();
    QImage picture = reader.read();
    if (picture.isNull())
        setError(error, reader.errorString());
    return picture;
}

QImage decodePicture(const QString &path, QString *error)
{
    QImageReader reader(path);
    return decodePicture(reader, error);
}

bool FITSData::readPicture(const QByteArray &bytes)
{
    QBuffer buffer;
    QImageReader reader;
    if (!bytes.isEmpty()) {
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        reader.setDevice(&buffer);
    } else {
        reader.setFileName(filename);
    }
    const QSize declared = reader.size();
    if (declared.isValid() && !withinImageModel(declared)) {
        loadError = QStringLiteral("picture of %1 pixels is out of range").arg(sizeText(declared));
        return false;
    }
    QImage image = reader.read();
    if (image.isNull()) {
        loadError = QStringLiteral("cannot decode picture: %1").arg(reader.errorString());
        return false;
    }
    if (!withinImageModel(image.size())) {
        loadError = QStringLiteral("picture of %1 pixels is out of range").arg(sizeText(image.size()));
        return false;
    }
    stats.size = bytes.isEmpty() ? QFileInfo(filename).size() : bytes.size();

    const bool grey = image.format() == QImage::Format_Grayscale8;
    if (!grey && image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32 &&
        image.format() != QImage::Format_ARGB32_Premultiplied) {
        // Palette, monochrome, 16-bit and packed 24-bit pictures are read as
        // 32-bit pixels like the rest; alpha stays unmultiplied and is dropped.
        image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        if (image.isNull()) {
            loadError = QStringLiteral("out of memory converting the picture");
            return false;
        }
    }

    stats.sampleType = SampleType::UInt8;
    stats.bytesPerSample = 1;
    stats.width = uint16_t(image.width());
    stats.height = uint16_t(image.height());
    stats.channels = grey ? 1 : 3;
    stats.samplesPerChannel = uint32_t(image.width()) * uint32_t(image.height());

    pixels.reset();
    roiPixels.reset();
    pixelBytes = stats.channels * stats.samplesPerChannel;
    pixels.reset(new (std::nothrow) uint8_t[pixelBytes]);
    if (!pixels) {
        loadError = QStringLiteral("out of memory for %1 bytes of samples").arg(pixelBytes);
        return false;
    }

    const QImage &source = image;  // const access: no detaching copy
    const int width = source.width();
    const size_t plane = stats.samplesPerChannel;
    uint8_t *out = pixels.get();
    for (int y = 0; y < source.height(); ++y) {
        // Decoded rows are padded to four bytes; only `width` samples count.
        const uchar *line = source.constScanLine(y);
        uint8_t *row = out + size_t(y) * size_t(width);
        if (grey) {
            std::copy(line, line + width, row);
            continue;
        }
        const auto *rgb = reinterpret_cast<const QRgb *>(line);
        for (int x = 0; x < width; ++x) {
            row[x] = uint8_t(qRed(rgb[x]));
            row[plane + size_t(x)] = uint8_t(qGreen(rgb[x]));
            row[2 * plane + size_t(x)] = uint8_t(qBlue(rgb[x]));
        }
    }
    return true;
}
