#pragma once

#include <QImage>
#include <QString>

// The picture a camera embedded in a RAW file, narrowed against the
// sensor's visible width. Null on failure; `error` then says why.
QImage rawPreview(const QString &path, int widthLimit, int quality, QString *error = nullptr);
// An ordinary picture, decoded and narrowed.
QImage imagePreview(const QString &path, int widthLimit, int quality, QString *error = nullptr);
