#include "app/metadata.h"

QByteArray fitsMetadata(const QString &) { return {}; }
QByteArray rawMetadata(const QString &) { return "{}"; }
QByteArray imageMetadata(const QString &) { return {}; }

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
