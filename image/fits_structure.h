#pragma once

#include <QByteArray>
#include <QString>

// Walks the headers of every header-data unit of a FITS file, from the bytes
// given or, when they are empty, from the file at `path`, and checks the
// values that CFITSIO trusts too far before CFITSIO parses them. Empty when
// the file may be handed to CFITSIO, otherwise the reason it may not.
QString fitsStructureViolation(const QByteArray &bytes, const QString &path);
