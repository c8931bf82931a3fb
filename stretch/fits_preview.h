#pragma once

#include <QImage>
#include <QString>

// Loads a FITS or XISF file, stretches it automatically and narrows it to
// `widthLimit`. A null picture means failure; `error` then says why.
QImage fitsPreview(const QString &path, int widthLimit, int quality, QString *error = nullptr);
