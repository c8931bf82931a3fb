// The image object's life above the loaders: construction, the load on the
// pool and the finishing every load shares. The loaders in image/ only fill
// samples, shape and header records; what follows a load (demosaic,
// statistics, world coordinates) is decided here, once for every format, so
// that image/ never calls into the folders built on it. The object's
// meta-object is compiled here too: its region-of-interest slot reaches the
// statistics, which image/ must not link.

#include "image/fits_data.h"
#include "image/fits_structure.h"
#include "image/source_kind.h"

#include <QFileInfo>
#include <QThreadPool>
#include <QtConcurrent>

namespace {

// Still on the pool thread, after a loader has succeeded: a header-only load
// of FITS or XISF ends with the header; Bayer data is demosaiced (or kept as
// a mosaic for a preview) and only then measured; a FITS image reads its
// world coordinates in the modes that use them and never for a preview,
// an XISF image always. RAW files and pictures get their statistics alone.
void finishLoad(FITSData &image, SourceKind kind)
{
    switch (kind) {
    case SourceKind::Fits: {
        if (image.headerOnly)
            return;
        bool demosaiced = true;
        if (image.bayerPlaneRead && !(image.previewOnly && image.keepMosaic()))
            demosaiced = image.stats.sampleType == SampleType::UInt8 ? image.debayer8() : image.debayer16();
        // A failed demosaic leaves the plane without statistics.
        if (demosaiced)
            image.computeStatistics(false);
        if ((image.mode == Normal || image.mode == Align) && !image.previewOnly)
            image.loadWorldCoordinates();
        return;
    }
    case SourceKind::Xisf:
        if (image.headerOnly)
            return;
        image.computeStatistics(false);
        image.loadWorldCoordinates();
        return;
    case SourceKind::Raw:
    case SourceKind::Picture:
        image.computeStatistics(false);
        return;
    case SourceKind::Unsupported:
        return;
    }
}

} // namespace

FITSData::FITSData()
{
    qRegisterMetaType<FITSMode>("FITSMode");
}

FITSData::~FITSData()
{
    // The memory file must be closed before the buffer under it is freed.
    fitsHandle.reset();
    releaseMemoryFile();
}

QFuture<bool> FITSData::startLoad(const QString &path)
{
    resetForLoad(path);
    extension = QFileInfo(filename).completeSuffix().toLower();
    return QtConcurrent::run(QThreadPool::globalInstance(), [this] { return loadByExtension(QByteArray()); });
}

bool FITSData::loadByExtension(const QByteArray &bytes)
{
    inTempDir = filename.startsWith(QLatin1String("/tmp"));
    bayerPlaneRead = false;
    const SourceKind kind = sourceKindOf(filename);
    bool loaded = false;
    switch (kind) {
    case SourceKind::Fits: {
        // Checked before CFITSIO reads any header beyond the first.
        const QString violation = fitsStructureViolation(bytes, filename);
        if (!violation.isEmpty()) {
            loadError = violation;
            return false;
        }
        loaded = readFits(bytes, false);
        break;
    }
    case SourceKind::Xisf:
        loaded = readXisf(bytes);
        break;
    case SourceKind::Picture:
        loaded = readPicture(bytes);
        break;
    case SourceKind::Raw:
        loaded = readRaw(bytes);
        break;
    case SourceKind::Unsupported:
        loadError = QStringLiteral("unsupported file type");
        return false;
    }
    if (loaded)
        finishLoad(*this, kind);
    return loaded;
}
