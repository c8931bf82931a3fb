#include "image/cfitsio.h"

#include <malloc.h>

static_assert(sizeof(unsigned int) == 4, "4-byte unsigned samples are read as CFITSIO's TUINT");

namespace {

// CFITSIO names the C type it converts samples to.
constexpr int datatypeOf(uint8_t) { return TBYTE; }
constexpr int datatypeOf(uint16_t) { return TUSHORT; }
constexpr int datatypeOf(int16_t) { return TSHORT; }
constexpr int datatypeOf(uint32_t) { return TUINT; }
constexpr int datatypeOf(int32_t) { return TINT; }
constexpr int datatypeOf(float) { return TFLOAT; }
constexpr int datatypeOf(int64_t) { return TLONGLONG; }
constexpr int datatypeOf(double) { return TDOUBLE; }

} // namespace

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
        fitsMakeReadOnly(converted);
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

int fitsDatatypeOf(SampleType type)
{
    int datatype = 0;
    withSampleType(type, [&](auto sample) { datatype = datatypeOf(sample); });
    return datatype;
}

void *fitsMemoryFileResize(void *buffer, size_t size)
{
    return size <= malloc_usable_size(buffer) ? buffer : nullptr;
}

QString memoryFileStatusText(int status)
{
    if (status == MEMORY_ALLOCATION)
        return QStringLiteral("the data of an HDU would end past the end of the file");
    return fitsStatusText(status);
}
