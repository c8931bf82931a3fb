#include "app/previews.h"

QImage rawPreview(const QString &, int, int, QString *error)
{
    if (error)
        *error = QStringLiteral("RAW previews are not available yet");
    return {};
}

QImage imagePreview(const QString &, int, int, QString *error)
{
    if (error)
        *error = QStringLiteral("picture previews are not available yet");
    return {};
}
