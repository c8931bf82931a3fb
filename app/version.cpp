#include "app/version.h"

#include <QCoreApplication>

#include <fitsio.h>
#include <gsl/gsl_version.h>
#include <libraw/libraw.h>
#include <lz4.h>
#include <wcslib/wcs.h>
#include <zlib.h>
#include <zstd.h>

QString versionText()
{
    int vers[3] = {0, 0, 0};
    const char *wcslib = wcslib_version(vers);
    QString text = QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion() +
                   QLatin1Char('\n');
    text += QStringLiteral("Qt %1\n").arg(QLatin1String(qVersion()));
    // CFITSIO reports its run-time version as a float (4.02 for 4.2.0);
    // the header's parts say it plainly, and the soname pins the ABI.
    text += QStringLiteral("CFITSIO %1.%2.%3\n").arg(CFITSIO_MAJOR).arg(CFITSIO_MINOR).arg(CFITSIO_MICRO);
    text += QStringLiteral("WCSLIB %1\n").arg(QLatin1String(wcslib));
    text += QStringLiteral("LibRaw %1\n").arg(QLatin1String(LibRaw::version()));
    text += QStringLiteral("GSL %1\n").arg(QLatin1String(gsl_version));
    // The XISF reader is part of this program; what varies is its codecs.
    text += QStringLiteral("XISF reader %1 (XISF 1.0; zlib %2, LZ4 %3, Zstandard %4)\n")
                .arg(QCoreApplication::applicationVersion(), QLatin1String(zlibVersion()),
                     QLatin1String(LZ4_versionString()), QLatin1String(ZSTD_versionString()));
    return text;
}
