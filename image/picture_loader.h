#pragma once

#include <QImage>
#include <QImageReader>
#include <QSize>
#include <QString>

// Ordinary pictures as the command-line tool shows them: decoded by the
// image library, whose format plug-ins choose by content.

// Whether a picture of `size` fits the image model at 4 bytes a pixel; an
// invalid size (not declared up front) passes, the decoder's own checks
// then apply. `error` says why not.
bool pictureSizeAllowed(const QSize &size, QString *error);

// Decodes what `reader` reads after checking the size it declares. Null on
// failure; `error` then says why.
QImage decodePicture(QImageReader &reader, QString *error);
QImage decodePicture(const QString &path, QString *error = nullptr);
