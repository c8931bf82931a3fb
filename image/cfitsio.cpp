#include "image/cfitsio.h"

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

int64_t fitsFileSize(fitsfile *file)
{
    return file->Fptr->logfilesize;
}

void fitsMakeReadOnly(fitsfile *file)
{
    file->Fptr->writemode = READONLY;
}
