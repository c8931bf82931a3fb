#pragma once

// Helpers shared by the tests: FITS files written through CFITSIO, the
// skyimg executable run as a process, and sample types printed by code.

#include "image/image_types.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <ostream>
#include <vector>

// A failed comparison shows a sample type as its code, not as raw bytes.
inline void PrintTo(SampleType type, std::ostream *out)
{
    *out << sampleTypeCode(type);
}

struct FitsFixture {
    int bitpix = 16;
    std::vector<long> axes;          // NAXISn, may be empty (NAXIS 0)
    const void *data = nullptr;      // stored (unscaled) values, may be null
    int dataType = 0;                // CFITSIO type of `data` (TUSHORT, TSHORT, TFLOAT, ...)
    QStringList cards;               // extra header cards, written verbatim (up to 80 chars each)
};

// Writes a single-HDU FITS file; the samples are stored exactly as given
// (no BZERO/BSCALE conversion on the way). Returns false and prints the
// CFITSIO error on failure.
bool writeFits(const QString &path, const FitsFixture &fixture);
// Appends one more image HDU to an existing file.
bool appendFitsImage(const QString &path, const FitsFixture &fixture);

struct ProcessResult {
    int exitCode = -1;        // as the shell sees it (0..255)
    bool crashed = false;
    QByteArray out;
    QByteArray err;
};

// Runs `program` with `args`, TZ=UTC, and waits (30 s at most). A program
// that cannot start is a test failure that names the reason.
ProcessResult runProgram(const QString &program, const QStringList &args, const QString &workingDir = QString());
// runProgram() on the skyimg binary.
ProcessResult runSkyimg(const QStringList &args, const QString &workingDir = QString());
