#include "app/previews.h"

#include "image/picture_loader.h"
#include "image/raw_loader.h"
#include "stretch/narrow.h"

#include <limits>

namespace {

void setError(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
}

// Enlarging a tall embedded picture to the width limit could ask for a
// picture far beyond the image model; such a request fails instead.
bool narrowedSizeAllowed(const QImage &picture, int referenceWidth, int widthLimit, QString *error)
{
    if (widthLimit <= 0 || widthLimit >= referenceWidth || widthLimit <= picture.width())
        return true;
    const qint64 height = qint64(picture.height()) * widthLimit / picture.width();
    return pictureSizeAllowed(QSize(widthLimit, int(qMin<qint64>(height, std::numeric_limits<int>::max()))), error);
}

QImage narrowed(const QImage &picture, int referenceWidth, int widthLimit, int quality, QString *error)
{
    if (picture.isNull())
        return picture;
    if (!narrowedSizeAllowed(picture, referenceWidth, widthLimit, error))
        return QImage();
    QImage result = narrowToWidth(picture, referenceWidth, widthLimit, quality);
    if (result.isNull())
        setError(error, QStringLiteral("not enough memory to scale the picture"));
    return result;
}

} // namespace

QImage imagePreview(const QString &path, int widthLimit, int quality, QString *error)
{
    const QImage picture = decodePicture(path, error);
    return narrowed(picture, picture.width(), widthLimit, quality, error);
}

// The reference is the sensor's visible width, not the embedded picture's.
QImage rawPreview(const QString &path, int widthLimit, int quality, QString *error)
{
    int sensorWidth = 0;
    const QImage picture = rawEmbeddedPicture(path, sensorWidth, error);
    return narrowed(picture, sensorWidth, widthLimit, quality, error);
}

QImage rawPreviewOfBytes(const QByteArray &bytes, int widthLimit, int quality, QString *error)
{
    int sensorWidth = 0;
    const QImage picture = rawEmbeddedPictureOfBytes(bytes, sensorWidth, error);
    return narrowed(picture, sensorWidth, widthLimit, quality, error);
}
