#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// The picture a camera embedded in a RAW file, narrowed against the
// sensor's visible width (so a small embedded picture may be enlarged).
// Null on failure; `error` then says why.
QImage rawPreview(const QString &path, int widthLimit, int quality, QString *error = nullptr);
// The same for a RAW file held in memory.
QImage rawPreviewOfBytes(const QByteArray &bytes, int widthLimit, int quality, QString *error = nullptr);
// An ordinary picture, decoded and narrowed against its own width.
QImage imagePreview(const QString &path, int widthLimit, int quality, QString *error = nullptr);

