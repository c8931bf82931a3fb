#include "image/raw_loader.h"

#include "image/fits_data.h"
#include "image/limits.h"
#include "image/picture_loader.h"
#include "image/raw_guards.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <libraw/libraw.h>

#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace {

using RawImagePtr = std::unique_ptr<libraw_processed_image_t, decltype(&LibRaw::dcraw_clear_mem)>;

bool withinImageModel(uint64_t width, uint64_t height, uint64_t channels)
{
    return width > 0 && height > 0 && width <= kMaxAxisLength && height <= kMaxAxisLength &&
           width * height * channels <= kMaxImageBytes;
}

void setError(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
}

QString notEncoded(LibRaw_thumbnail_formats format)
{
    return QStringLiteral("the embedded picture is not an encoded picture (LibRaw thumbnail format %1)").arg(int(format));
}

// LibRaw's in-memory copy of the picture carries an Exif block in which the
// exposure time, aperture and focal length become millionths in an int; a
// damaged file's values overflow that conversion, which is undefined. The
// block is never read for the pixels, so out-of-range values are zeroed.
void keepExifFieldsConvertible(LibRaw &raw)
{
    libraw_imgother_t &other = raw.imgdata.other;
    for (float *value : {&other.shutter, &other.aperture, &other.focal_len}) {
        if (!(*value >= 0.0f && *value <= 2000.0f))
            *value = 0.0f;
    }
}

// The embedded picture of a RAW file that LibRaw has just opened with
// `status`.
QImage embeddedPicture(GuardedLibRaw &raw, int status, int &sensorWidth, QString *error)
{
    if (status != LIBRAW_SUCCESS) {
        raw.recycle();
        setError(error, QStringLiteral("LibRaw cannot open the file: %1").arg(QString::fromLocal8Bit(libraw_strerror(status))));
        return QImage();
    }
    if (raw.thumbnailIsKodakBitmap()) {
        raw.recycle();
        setError(error, notEncoded(LIBRAW_THUMBNAIL_BITMAP));
        return QImage();
    }
    status = raw.unpack_thumb();
    if (status != LIBRAW_SUCCESS) {
        raw.recycle();
        setError(error, QStringLiteral("LibRaw cannot read the embedded picture: %1")
                            .arg(QString::fromLocal8Bit(libraw_strerror(status))));
        return QImage();
    }

    // Only an encoded picture carries its own format; a plain bitmap's bytes
    // would be guessed at by the decoders, so it is refused up front.
    const libraw_thumbnail_t &thumbnail = raw.imgdata.thumbnail;
    if (thumbnail.tformat != LIBRAW_THUMBNAIL_JPEG) {
        raw.recycle();
        setError(error, notEncoded(thumbnail.tformat));
        return QImage();
    }
    if (!pictureSizeAllowed(QSize(thumbnail.twidth, thumbnail.theight), error)) {
        raw.recycle();
        return QImage();
    }

    keepExifFieldsConvertible(raw);
    int code = 0;
    RawImagePtr copy(raw.dcraw_make_mem_thumb(&code), &LibRaw::dcraw_clear_mem);
    if (code != LIBRAW_SUCCESS || !copy) {
        raw.recycle();
        setError(error, QString::fromLocal8Bit(libraw_strerror(code ? code : LIBRAW_UNSPECIFIED_ERROR)));
        return QImage();
    }

    if (copy->data_size > uint32_t(std::numeric_limits<int>::max())) {
        raw.recycle();
        setError(error, QStringLiteral("the embedded picture is too large"));
        return QImage();
    }
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(copy->data), int(copy->data_size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QImage picture = decodePicture(reader, error);
    copy.reset();
    sensorWidth = int(raw.imgdata.sizes.width);
    raw.recycle();
    return picture;
}

} // namespace

bool readRawCameraInfo(const QString &path, RawCameraInfo &info, QString *error)
{
    auto raw = std::make_unique<GuardedLibRaw>(LIBRAW_OPTIONS_NONE);
    // LibRaw takes a file name in the local 8-bit encoding, as the C library does.
    const int status = raw->open_file(QFile::encodeName(path).constData(), kMaxBufferedRawBytes);
    if (status != LIBRAW_SUCCESS) {
        raw->recycle();
        setError(error, QString::fromLocal8Bit(libraw_strerror(status)));
        return false;
    }
    const libraw_data_t &data = raw->imgdata;
    info.width = int(data.sizes.width);
    info.height = int(data.sizes.height);
    // Unpacked as the record has always done, though nothing of it is used;
    // but not through the faulty decoder of Kodak's bitmaps.
    if (!raw->thumbnailIsKodakBitmap())
        raw->unpack_thumb();
    info.timestamp = qint64(data.other.timestamp);
    info.shutter = data.other.shutter;
    info.isoSpeed = data.other.iso_speed;
    raw->recycle();
    return true;
}

QImage rawEmbeddedPicture(const QString &path, int &sensorWidth, QString *error)
{
    auto raw = std::make_unique<GuardedLibRaw>(LIBRAW_OPTIONS_NONE);
    const int status = raw->open_file(QFile::encodeName(path).constData(), kMaxBufferedRawBytes);
    return embeddedPicture(*raw, status, sensorWidth, error);
}

QImage rawEmbeddedPictureOfBytes(const QByteArray &bytes, int &sensorWidth, QString *error)
{
    // Declared first: the stream outlives LibRaw's use of it.
    std::unique_ptr<RawByteStream> stream;
    auto raw = std::make_unique<GuardedLibRaw>(LIBRAW_OPTIONS_NONE);
    const int status = openRawBytes(*raw, bytes, stream);
    return embeddedPicture(*raw, status, sensorWidth, error);
}

bool FITSData::readRaw(const QByteArray &bytes)
{
    // Declared first: the stream outlives LibRaw's use of it.
    std::unique_ptr<RawByteStream> stream;
    // Processing parameters and LibRaw's memory limits stay at the library's defaults.
    auto raw = std::make_unique<LibRaw>(0);
    auto fail = [&](const QString &reason) {
        raw->recycle();
        loadError = reason;
        return false;
    };

    int status = LIBRAW_SUCCESS;
    if (!bytes.isEmpty()) {
        status = openRawBytes(*raw, bytes, stream);
        stats.size = bytes.size();
    } else {
        status = raw->open_file(QFile::encodeName(filename).constData(), kMaxBufferedRawBytes);
        stats.size = QFileInfo(filename).size();
    }
    if (status != LIBRAW_SUCCESS)
        return fail(QStringLiteral("cannot open RAW file: %1").arg(libraw_strerror(status)));

    // The developed picture is as large as the sensor area (turned, perhaps):
    // refuse what the image model cannot hold before anything is decoded.
    const libraw_image_sizes_t &sizes = raw->imgdata.sizes;
    if (!withinImageModel(sizes.width, sizes.height, 3))
        return fail(QStringLiteral("RAW image of %1x%2 pixels is out of range").arg(sizes.width).arg(sizes.height));

    status = raw->unpack();
    if (status != LIBRAW_SUCCESS)
        return fail(QStringLiteral("cannot unpack RAW data: %1").arg(libraw_strerror(status)));
    status = raw->dcraw_process();
    if (status != LIBRAW_SUCCESS)
        return fail(QStringLiteral("cannot develop RAW data: %1").arg(libraw_strerror(status)));
    int error = LIBRAW_SUCCESS;
    RawImagePtr developed(raw->dcraw_make_mem_image(&error), &LibRaw::dcraw_clear_mem);
    if (error != LIBRAW_SUCCESS || !developed)
        return fail(QStringLiteral("cannot develop RAW image: %1").arg(libraw_strerror(error)));
    raw->recycle();  // the developed image stays valid

    const libraw_processed_image_t &image = *developed;
    const uint64_t planeSamples = uint64_t(image.width) * image.height;
    if (image.type != LIBRAW_IMAGE_BITMAP || image.bits != 8 || (image.colors != 1 && image.colors != 3) ||
        !withinImageModel(image.width, image.height, uint64_t(image.colors)) ||
        image.data_size < planeSamples * uint64_t(image.colors))
        return fail(QStringLiteral("developed RAW image has an unexpected layout"));

    stats.sampleType = SampleType::UInt8;
    stats.bytesPerSample = 1;
    stats.width = uint16_t(image.width);
    stats.height = uint16_t(image.height);
    stats.channels = uint8_t(image.colors);
    stats.samplesPerChannel = uint32_t(planeSamples);

    pixels.reset();
    roiPixels.reset();
    pixelBytes = uint32_t(planeSamples * uint64_t(image.colors));
    pixels.reset(new (std::nothrow) uint8_t[pixelBytes]);
    if (!pixels)
        return fail(QStringLiteral("out of memory for %1 bytes of samples").arg(pixelBytes));

    const uint8_t *src = image.data;  // a trailing array that holds data_size bytes
    if (image.colors == 1) {
        std::memcpy(pixels.get(), src, pixelBytes);
    } else {
        uint8_t *red = pixels.get();
        uint8_t *green = red + planeSamples;
        uint8_t *blue = green + planeSamples;
        for (uint64_t i = 0; i < planeSamples; ++i, src += 3) {
            red[i] = src[0];
            green[i] = src[1];
            blue[i] = src[2];
        }
    }
    developed.reset();
    return true;
}
