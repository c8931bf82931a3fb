#include "app/version.h"

#include "xisf/xisf_reader.h"

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
    float cfitsio = 0;
    fits_get_version(&cfitsio);
    int vers[3] = {0, 0, 0};
    const char *wcslib = wcslib_version(vers);
    QString text = QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion() +
                   QLatin1Char('\n');
    text += QStringLiteral("Qt %1\n").arg(QLatin1String(qVersion()));
    text += QStringLiteral("CFITSIO %1\n").arg(double(cfitsio), 0, 'f', 2);
    text += QStringLiteral("WCSLIB %1\n").arg(QLatin1String(wcslib));
    text += QStringLiteral("LibRaw %1\n").arg(QLatin1String(LibRaw::version()));
    text += QStringLiteral("GSL %1\n").arg(QLatin1String(gsl_version));
    text += QStringLiteral("XISF reader %1 (zlib %2, LZ4 %3, Zstandard %4)\n")
                .arg(QLatin1String(LibXISF::readerVersion()), QLatin1String(zlibVersion()),
                     QLatin1String(LZ4_versionString()), QLatin1String(ZSTD_versionString()));
    return text;
}
