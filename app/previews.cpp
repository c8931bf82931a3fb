#include "app/previews.h"

#include "image/limits.h"
#include "image/raw_guards.h"
#include "stretch/narrow.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

#include <libraw/libraw.h>

#include <limits>
#include <memory>

namespace {

// LibRaw reads at most this much of a file into memory at once.
constexpr qint64 kRawMaxBuffer = 262144000;

using RawImagePtr = std::unique_ptr<libraw_processed_image_t, decltype(&LibRaw::dcraw_clear_mem)>;

void setError(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
}

// A decoded picture holds 4 bytes per pixel at most; the image model's
// limits keep a crafted header from asking for an enormous allocation.
bool sizeAllowed(const QSize &size, QString *error)
{
    if (!size.isValid())
        return true;  // not declared up front: the decoder's own checks apply
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

QImage decodeWith(QImageReader &reader, QString *error)
{
    if (!sizeAllowed(reader.size(), error))
        return QImage();
    QImage picture = reader.read();
    if (picture.isNull())
        setError(error, reader.errorString());
    return picture;
}

// Enlarging a tall embedded picture to the width limit could ask for a
// picture far beyond the image model; such a request fails instead.
bool narrowedSizeAllowed(const QImage &picture, int referenceWidth, int widthLimit, QString *error)
{
    if (widthLimit <= 0 || widthLimit >= referenceWidth || widthLimit <= picture.width())
        return true;
    const qint64 height = qint64(picture.height()) * widthLimit / picture.width();
    return sizeAllowed(QSize(widthLimit, int(qMin<qint64>(height, std::numeric_limits<int>::max()))), error);
}

QImage narrowed(const QImage &picture, int referenceWidth, int widthLimit, int quality, QString *error)
{
    if (!narrowedSizeAllowed(picture, referenceWidth, widthLimit, error))
        return QImage();
    QImage result = narrowToWidth(picture, referenceWidth, widthLimit, quality);
    if (result.isNull())
        setError(error, QStringLiteral("not enough memory to scale the picture"));
    return result;
}

} // namespace

QImage decodePicture(const QString &path, QString *error)
{
    QImageReader reader(path);
    return decodeWith(reader, error);
}

QImage imagePreview(const QString &path, int widthLimit, int quality, QString *error)
{
    const QImage picture = decodePicture(path, error);
    if (picture.isNull())
        return picture;
    return narrowed(picture, picture.width(), widthLimit, quality, error);
}

namespace {

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
// `status`, narrowed against the sensor's visible width.
QImage embeddedPicture(GuardedLibRaw &raw, int status, int widthLimit, int quality, QString *error)
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
    if (!sizeAllowed(QSize(thumbnail.twidth, thumbnail.theight), error)) {
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
    const QImage picture = decodeWith(reader, error);
    copy.reset();
    if (picture.isNull()) {
        raw.recycle();
        return picture;
    }
    // The reference is the sensor's visible width, not the embedded picture's.
    return narrowed(picture, int(raw.imgdata.sizes.width), widthLimit, quality, error);
}

} // namespace

QImage rawPreview(const QString &path, int widthLimit, int quality, QString *error)
{
    auto raw = std::make_unique<GuardedLibRaw>(LIBRAW_OPTIONS_NONE);
    // LibRaw takes a file name in the local 8-bit encoding, as the C library does.
    const int status = raw->open_file(QFile::encodeName(path).constData(), kRawMaxBuffer);
    return embeddedPicture(*raw, status, widthLimit, quality, error);
}

QImage rawPreviewOfBytes(const QByteArray &bytes, int widthLimit, int quality, QString *error)
{
    std::unique_ptr<RawByteStream> stream;
    auto raw = std::make_unique<GuardedLibRaw>(LIBRAW_OPTIONS_NONE);
    const int status = openRawBytes(*raw, bytes, stream);
    return embeddedPicture(*raw, status, widthLimit, quality, error);
}
