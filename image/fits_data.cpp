#include "image/fits_data.h"
#include "image/source_kind.h"

#include <cstdlib>

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

void FITSData::releaseMemoryFile()
{
    std::free(memoryFile);
    memoryFile = nullptr;
    memoryFileSize = 0;
}

void FITSData::resetForLoad(const QString &path)
{
    if (fitsHandle) {
        fitsHandle.reset();
        releaseMemoryFile();
    }
    filename = path;
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
