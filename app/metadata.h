#pragma once

#include <QByteArray>
#include <QString>

// One-line JSON metadata records, one builder per input class.
QByteArray fitsMetadata(const QString &path);
QByteArray rawMetadata(const QString &path);
// Empty when the picture cannot be decoded.
QByteArray imageMetadata(const QString &path);

// "Dark", "Flat", "Bias" or "Light", from the directories in `path`.
QString frameType(const QString &path);
