#include "app/metadata.h"

#include "image/fits_data.h"
#include "image/picture_loader.h"
#include "image/raw_loader.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUuid>

#include <limits>
#include <type_traits>

namespace {

QString isoDate(const QDateTime &time)
{
    return time.toLocalTime().toString(Qt::ISODate);
}

QString freshUuid()
{
    return QUuid::createUuid().toString(QUuid::Id128);
}

// The keys that describe the file itself, always from the path the caller
// named: a load may have swapped in a temporary or scratch name.
// FITS BITPIX of a sample type, 0 for none.
int bitpixOf(SampleType sampleType)
{
    int bitpix = 0;
    withSampleType(sampleType, [&](auto sample) {
        bitpix = int(8 * sizeof(sample));
        if (std::is_floating_point<decltype(sample)>::value)
            bitpix = -bitpix;
    });
    return bitpix;
}

void insertFileKeys(QJsonObject &record, const QString &path)
{
    const QFileInfo info(path);
    record.insert(QStringLiteral("uuid"), freshUuid());
    record.insert(QStringLiteral("filename"), info.fileName());
    record.insert(QStringLiteral("filesize"), QJsonValue(qint64(info.size())));
    record.insert(QStringLiteral("Content-Disposition"), contentDisposition(info.fileName()));
}

QJsonValue jsonOf(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return QJsonValue(value.toLongLong());
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        if (value.toULongLong() <= quint64(std::numeric_limits<qint64>::max()))
            return QJsonValue(value.toLongLong());
        return QJsonValue(value.toDouble());
    case QMetaType::Float:
    case QMetaType::Double:
        return QJsonValue(value.toDouble());
    default:
        return QJsonValue(value.toString());
    }
}

QByteArray serialised(const QJsonObject &record)
{
    return QJsonDocument(record).toJson(QJsonDocument::Compact);
}

} // namespace

QString frameType(const QString &path)
{
    if (path.contains(QLatin1String("Dark/")))
        return QStringLiteral("Dark");
    if (path.contains(QLatin1String("Flat/")))
        return QStringLiteral("Flat");
    if (path.contains(QLatin1String("Bias/")))
        return QStringLiteral("Bias");
    return QStringLiteral("Light");
}

QString fileDate(const QString &path)
{
    const QFileInfo info(path);
    QDateTime time = info.birthTime();
    if (!time.isValid())
        time = info.metadataChangeTime();
    if (!time.isValid())
        time = QDateTime::currentDateTime();
    return isoDate(time);
}

QString contentDisposition(const QString &fileName)
{
    // RFC 7230 token characters: such a name needs no quoting at all.
    static const QByteArray tokenPunctuation("!#$%&'*+-.^_`|~");
    bool token = !fileName.isEmpty();
    for (QChar c : fileName) {
        const ushort u = c.unicode();
        const bool alnum = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
        if (!alnum && (u > 0x7f || !tokenPunctuation.contains(char(u)))) {
            token = false;
            break;
        }
    }
    if (token)
        return QStringLiteral("attachment;filename=") + fileName;

    // Old clients read the quoted ASCII fallback, where every character that
    // is not printable ASCII becomes "_"; current ones read filename*.
    QString fallback;
    const QVector<uint> codePoints = fileName.toUcs4();
    for (uint u : codePoints) {
        if (u < 0x20 || u >= 0x7f) {
            fallback += QLatin1Char('_');
            continue;
        }
        if (u == '"' || u == '\\')
            fallback += QLatin1Char('\\');
        fallback += QChar(u);
    }
    // Unreserved characters are all RFC 5987 attr-chars; everything else,
    // control characters included, is percent-encoded.
    const QByteArray encoded = QUrl::toPercentEncoding(fileName);
    return QStringLiteral("attachment;filename=\"%1\";filename*=UTF-8''%2")
        .arg(fallback, QString::fromLatin1(encoded));
}

QByteArray fitsMetadata(const QString &path, QString *error)
{
    FITSData data;
    // The record needs only the header: samples, statistics and demosaic
    // would be work thrown away.
    data.headerOnly = true;
    QFuture<bool> load = data.startLoad(path);
    load.waitForFinished();
    const bool loaded = load.result();
    if (!loaded && error)
        *error = data.loadError.isEmpty() ? QStringLiteral("the file could not be loaded") : data.loadError;

    QJsonObject record;
    record.insert(QStringLiteral("bscale"), 1);
    record.insert(QStringLiteral("bzero"), 32768);
    record.insert(QStringLiteral("naxis"), 2);
    record.insert(QStringLiteral("exptime"), 1);
    record.insert(QStringLiteral("xbinning"), 1);
    record.insert(QStringLiteral("ybinning"), 1);
    record.insert(QStringLiteral("frame"), frameType(path));
    record.insert(QStringLiteral("date-obs"), fileDate(path));

    for (const HeaderRecord &header : qAsConst(data.headerRecords)) {
        if (header.key.isEmpty() || header.key == QLatin1String("EXTEND") || header.key == QLatin1String("SIMPLE")
            || header.key == QLatin1String("COMMENT"))
            continue;
        if (header.value.toString().isEmpty())
            continue;
        record.insert(header.key.toLower(), jsonOf(header.value));
    }
    // XISF files need not carry the FITS shape keywords; a caller still gets
    // the image's size and depth from what was loaded.
    if (loaded) {
        if (!record.contains(QLatin1String("naxis1")))
            record.insert(QStringLiteral("naxis1"), int(data.stats.width));
        if (!record.contains(QLatin1String("naxis2")))
            record.insert(QStringLiteral("naxis2"), int(data.stats.height));
        const int bitpix = bitpixOf(data.stats.sampleType);
        if (!record.contains(QLatin1String("bitpix")) && bitpix != 0)
            record.insert(QStringLiteral("bitpix"), bitpix);
    }

    insertFileKeys(record, path);
    return serialised(record);
}

QByteArray rawMetadata(const QString &path, QString *error)
{
    RawCameraInfo camera;
    if (!readRawCameraInfo(path, camera, error))
        return QByteArrayLiteral("{}");

    QJsonObject record;
    record.insert(QStringLiteral("naxis1"), camera.width);
    record.insert(QStringLiteral("naxis2"), camera.height);
    record.insert(QStringLiteral("naxis"), 2);
    record.insert(QStringLiteral("bitpix"), 16);
    record.insert(QStringLiteral("bscale"), 1);
    record.insert(QStringLiteral("bzero"), 32768);
    // LibRaw leaves the timestamp at 0 when the file names no time (or a
    // clock never set, 0000:00:00); like a picture, the file then tells the
    // date, never 1970.
    QString date;
    if (camera.timestamp > 0)
        date = isoDate(QDateTime::fromSecsSinceEpoch(camera.timestamp));
    if (date.isEmpty())
        date = fileDate(path);
    record.insert(QStringLiteral("date-obs"), date);
    record.insert(QStringLiteral("xbinning"), 1);
    record.insert(QStringLiteral("ybinning"), 1);
    // LibRaw keeps these as floats; they print with the digits of the widened value.
    if (camera.shutter > 0)
        record.insert(QStringLiteral("exptime"), double(camera.shutter));
    if (camera.isoSpeed > 0)
        record.insert(QStringLiteral("ISO"), double(camera.isoSpeed));

    record.insert(QStringLiteral("frame"), frameType(path));
    insertFileKeys(record, path);
    return serialised(record);
}

QByteArray imageMetadata(const QString &path, QString *error)
{
    const QImage picture = decodePicture(path, error);
    if (picture.isNull())
        return QByteArray();

    QJsonObject record;
    record.insert(QStringLiteral("naxis1"), picture.width());
    record.insert(QStringLiteral("naxis2"), picture.height());
    record.insert(QStringLiteral("exptime"), 1);
    record.insert(QStringLiteral("naxis"), 2);
    record.insert(QStringLiteral("bitpix"), 16);
    record.insert(QStringLiteral("bscale"), 1);
    record.insert(QStringLiteral("bzero"), 32768);
    record.insert(QStringLiteral("date-obs"), fileDate(path));
    record.insert(QStringLiteral("xbinning"), 1);
    record.insert(QStringLiteral("ybinning"), 1);
    record.insert(QStringLiteral("frame"), frameType(path));
    insertFileKeys(record, path);
    return serialised(record);
}
