#pragma once

#include <QByteArray>
#include <QString>

// One-line JSON metadata records, one builder per input class. Each takes
// the source path as the caller named it; the file-derived keys (name, size,
// frame, fallback date, Content-Disposition) always describe that path.

// Always yields a record, from whatever the load read; when the load fails,
// `error` (if given) receives the reason.
QByteArray fitsMetadata(const QString &path, QString *error = nullptr);
// "{}" when LibRaw cannot open the file; `error` then says why.
QByteArray rawMetadata(const QString &path, QString *error = nullptr);
// Empty when the picture cannot be decoded; `error` then says why.
QByteArray imageMetadata(const QString &path, QString *error = nullptr);

// "Dark", "Flat", "Bias" or "Light", from the directories in `path`.
QString frameType(const QString &path);

// Birth time of the file, else its metadata-change time, else now; local
// time in ISO 8601 without fraction or zone.
QString fileDate(const QString &path);

// A Content-Disposition value safe for an HTTP header: a plain token name
// stays as it is, any other name gets a quoted ASCII fallback and an
// RFC 5987 UTF-8 form.
QString contentDisposition(const QString &fileName);
