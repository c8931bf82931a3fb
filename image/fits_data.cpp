#include "image/fits_data.h"
#include "image/fits_structure.h"
#include "image/source_kind.h"

#include <QFileInfo>
#include <QThreadPool>
#include <QtConcurrent>

#include <cstdlib>
#include <cstring>

void WcsArray::release()
{
    if (wcs)
        wcsvfree(&count, &wcs);
    wcs = nullptr;
    count = 0;
}

int bitsPerSampleOf(SampleType sampleType)
{
    int bits = 8;
    withSampleType(sampleType, [&](auto sample) { bits = int(8 * sizeof(sample)); });
    return bits;
}

const QStringList &FITSData::rawSuffixes()
{
    return rawSuffixList();
}

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

void FITSData::releaseMemoryFile()
{
    std::free(memoryFile);
    memoryFile = nullptr;
    memoryFileSize = 0;
}

QFuture<bool> FITSData::startLoad(const QString &path)
{
    resetForLoad(path);
    extension = QFileInfo(filename).completeSuffix().toLower();
    return QtConcurrent::run(QThreadPool::globalInstance(), [this] { return loadByExtension(QByteArray()); });
}

void FITSData::resetForLoad(const QString &path)
{
    if (fitsHandle) {
        fitsHandle.reset();
        releaseMemoryFile();
    }
    filename = path;
}

bool FITSData::loadByExtension(const QByteArray &bytes)
{
    inTempDir = filename.startsWith(QLatin1String("/tmp"));
    switch (sourceKindOf(filename)) {
    case SourceKind::Fits: {
        // Checked before CFITSIO reads any header beyond the first.
        const QString violation = fitsStructureViolation(bytes, filename);
        if (!violation.isEmpty()) {
            loadError = violation;
            return false;
        }
        return readFits(bytes, false);
    }
    case SourceKind::Xisf:
        return readXisf(bytes);
    case SourceKind::Picture:
        return readPicture(bytes);
    case SourceKind::Raw:
        return readRaw(bytes);
    case SourceKind::Unsupported:
        break;
    }
    loadError = QStringLiteral("unsupported file type");
    return false;
}

bool FITSData::findRecordValue(const QString &key, QVariant &value) const
{
    for (const HeaderRecord &record : headerRecords) {
        if (record.key == key && record.value.isValid()) {
            value = record.value;
            return true;
        }
    }
    return false;
}

void FITSData::makeRoiBuffer(QRect roi)
{
    const int x1 = roi.left() , y1 = roi.top();
    const int x2 = roi.right(), y2 = roi.bottom();
    if (y2 < y1 || x2 < x1)
        return;
    // A rectangle reaching outside the image would copy from outside the
    // planes; it is ignored like the other invalid ones.
    if (x1 < 1 || y1 < 1 || x2 > stats.width || y2 > stats.height || !pixels)
        return;
    const uint64_t w = uint64_t(x2 - x1 + 1), h = uint64_t(y2 - y1 + 1);
    const uint64_t area = w * h;
    if (area > stats.samplesPerChannel || area == 1)
        return;

    const size_t bps = size_t(stats.bytesPerSample);
    roiPixels.reset(new uint8_t[stats.channels * area * bps]());
    uint8_t *out = roiPixels.get();
    for (int c = 0; c < stats.channels; ++c) {
        for (int y = y1; y <= y2; ++y) {
            const size_t sample = size_t(c) * stats.samplesPerChannel + size_t(y - 1) * stats.width + size_t(x1 - 1);
            std::memcpy(out, pixels.get() + sample * bps, w * bps);
            out += w * bps;
        }
    }
    roiStats = stats;
    roiStats.samplesPerChannel = uint32_t(area);
    roiStats.width = uint16_t(w);
    roiStats.height = uint16_t(h);
    computeStatistics(true);
}
