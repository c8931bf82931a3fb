#include "image/fits_data.h"
#include "image/source_kind.h"

#include <cstdlib>

void FitsCloser::operator()(fitsfile *f) const
{
    int status = 0;
    fits_flush_file(f, &status);
    status = 0;
    fits_close_file(f, &status);
}

int fitsHeaderText(fitsfile *file, int excludeCommentary, char **header, int *cardCount, int *status)
{
    if (*status || !fits_is_compressed_image(file, status))
        return fits_hdr2str(file, excludeCommentary, nullptr, 0, header, cardCount, status);
    fitsfile *converted = nullptr;
    fits_create_file(&converted, "mem://", status);
    const FitsPtr closer(converted);
    fits_img_decompress_header(file, converted, status);
    fits_hdr2str(converted, excludeCommentary, nullptr, 0, header, cardCount, status);
    // Read-only from here: closing neither pads the data nor writes at all.
    if (converted)
        converted->Fptr->writemode = READONLY;
    return *status;
}

QString fitsErrorText(int status)
{
    // CFITSIO 4.2 has no text for this code of its own.
    if (status == NO_COMPRESSED_TILE)
        return QStringLiteral("a compressed tile is missing or cut short");
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    return QString::fromLatin1(text);
}

QString fitsStatusText(int status)
{
    return QStringLiteral("%1 (CFITSIO status %2)").arg(fitsErrorText(status)).arg(status);
}

void WcsArray::release()
{
    if (wcs)
        wcsvfree(&count, &wcs);
    wcs = nullptr;
    count = 0;
}

int bitsPerSampleOf(int sampleType)
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
