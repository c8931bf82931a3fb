#include "image/fits_data.h"
#include "image/limits.h"
#include "image/tile_checks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The FITS block: the unpacked file grows by this much at a time.
constexpr size_t kBlock = 2880;
// A copy unpacked from caller-supplied bytes grows in larger steps.
constexpr size_t kBytesStep = 100000;

enum class HduAction { Copy, DecompressImage, DecompressTable };

// Running total of what the unpacked copy will hold. CFITSIO pads every HDU
// it writes to the size its header declares, so a claim is an allocation
// whether or not the input holds the data behind it; the total is checked
// before each HDU so that many small claims cannot add up either.
struct UnpackBudget {
    uint64_t inputSize = 0;
    uint64_t claimed = 0;
    QString refusal;  // why a claim was refused, for the caller
};

uint64_t roundUpToBlock(uint64_t n)
{
    return (n + kBlock - 1) / kBlock * kBlock;
}

// Product that sticks at UINT64_MAX instead of wrapping.
uint64_t saturatingMul(uint64_t a, uint64_t b)
{
    uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

uint64_t saturatingAdd(uint64_t a, uint64_t b)
{
    uint64_t r = 0;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

// Bytes of the image a compressed image HDU declares (ZNAXISn x |ZBITPIX|/8).
uint64_t declaredImageBytes(fitsfile *input, int &status)
{
    int naxis = 0;
    fits_get_img_dim(input, &naxis, &status);
    if (status || naxis <= 0)
        return 0;
    if (naxis > kMaxFitsAxes) {
        fits_write_errmsg("too many image axes in compressed header");
        status = BAD_NAXIS;
        return 0;
    }
    std::vector<LONGLONG> axes(size_t(naxis), 0);
    int bitpix = 0;
    fits_get_img_paramll(input, naxis, &bitpix, &naxis, axes.data(), &status);
    if (status)
        return 0;
    uint64_t bytes = uint64_t(std::abs(int64_t(bitpix))) / 8;
    for (LONGLONG axis : axes) {
        if (axis < 0) {
            fits_write_errmsg("negative image axis in compressed header");
            status = BAD_NAXES;
            return 0;
        }
        bytes = saturatingMul(bytes, uint64_t(axis));
    }
    return bytes;
}

// Bytes of the table a compressed table HDU declares, heap included.
uint64_t declaredTableBytes(fitsfile *input, int &status)
{
    LONGLONG rowBytes = 0, rows = 0, heap = 0;
    fits_read_key(input, TLONGLONG, "ZNAXIS1", &rowBytes, nullptr, &status);
    fits_read_key(input, TLONGLONG, "ZNAXIS2", &rows, nullptr, &status);
    if (status)
        return 0;
    fits_write_errmark();
    fits_read_key(input, TLONGLONG, "ZPCOUNT", &heap, nullptr, &status);
    if (status == KEY_NO_EXIST) {
        status = 0;
        heap = 0;
    }
    if (status == 0)
        fits_clear_errmark();
    if (status)
        return 0;
    if (rowBytes < 0 || rows < 0 || heap < 0) {
        fits_write_errmsg("negative size in compressed table header");
        status = BAD_NAXES;
        return 0;
    }
    return saturatingAdd(saturatingMul(uint64_t(rowBytes), uint64_t(rows)), uint64_t(heap));
}

// Admits the current input HDU into the unpacked copy, or refuses it before
// anything is allocated for it. A compressed table that cannot be expanded
// safely turns `action` into a copy.
void admitHdu(fitsfile *input, HduAction &action, UnpackBudget &budget, int &status)
{
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    fits_get_hduaddrll(input, &headStart, &dataStart, &dataEnd, &status);
    if (status)
        return;
    // An HDU whose data would end beyond the file is truncated or lies about
    // its size; copying it would still allocate all it declares.
    if (uint64_t(dataEnd) > roundUpToBlock(budget.inputSize)) {
        budget.refusal = QStringLiteral("the data of an HDU would end at byte %1, past the end of the file (%2 bytes)")
                             .arg(uint64_t(dataEnd))
                             .arg(budget.inputSize);
        fits_write_errmsg("HDU declares more data than the file holds");
        status = END_OF_FILE;
        return;
    }
    uint64_t claim = uint64_t(dataEnd - headStart);
    if (action == HduAction::DecompressImage)
        claim = saturatingAdd(uint64_t(dataStart - headStart), declaredImageBytes(input, status));
    else if (action == HduAction::DecompressTable)
        claim = saturatingAdd(uint64_t(dataStart - headStart), declaredTableBytes(input, status));
    if (status)
        return;

    // A table that cannot be expanded safely is copied, and claims only
    // its own size.
    QString violation;
    if (action == HduAction::DecompressTable) {
        bool keepPacked = false;
        violation = compressedTableViolation(input, keepPacked, status);
        if (keepPacked) {
            action = HduAction::Copy;
            claim = uint64_t(dataEnd - headStart);
        }
    }
    if (status == 0 && violation.isEmpty()) {
        const uint64_t total = saturatingAdd(budget.claimed, claim);
        const bool overRatio = total > kUnpackFreeBytes && total / kMaxUnpackRatio > budget.inputSize;
        if (total > kMaxUnpackedBytes || overRatio) {
            budget.refusal = QStringLiteral("the uncompressed data would take %1 bytes, too much for a file of %2 bytes")
                                 .arg(total)
                                 .arg(budget.inputSize);
            fits_write_errmsg("declared uncompressed size is too large for the file");
            status = MEMORY_ALLOCATION;
            return;
        }
        budget.claimed = total;
        // Decoding the tiles to check them takes memory by the claim,
        // which is therefore checked first.
        if (action == HduAction::DecompressImage)
            violation = compressedImageViolation(input, status);
    }
    if (status == 0 && !violation.isEmpty()) {
        budget.refusal = violation;
        fits_write_errmsg("a compressed tile disagrees with its HDU");
        status = DATA_DECOMPRESSION_ERR;
    }
}

// Appends the current HDU of `input` to `output`: compressed images and
// tables expanded, everything else copied as it is.
void unpackHdu(fitsfile *input, fitsfile *output, UnpackBudget &budget, int &status)
{
    int hduType = 0;
    fits_get_hdu_type(input, &hduType, &status);
    // CFITSIO reports a tile-compressed image as an image HDU, so only real
    // tables come down the first branch.
    HduAction action = HduAction::Copy;
    if (status == 0 && hduType == BINARY_TBL) {
        int compressedTable = 0;
        fits_write_errmark();
        fits_read_key(input, TLOGICAL, "ZTABLE", &compressedTable, nullptr, &status);
        if (status == KEY_NO_EXIST)
            status = 0;
        else if (status == 0 && compressedTable)
            action = HduAction::DecompressTable;
        if (status == 0)
            fits_clear_errmark();
    } else if (status == 0 && fits_is_compressed_image(input, &status)) {
        action = HduAction::DecompressImage;
    }

    admitHdu(input, action, budget, status);
    switch (action) {
    case HduAction::DecompressTable:
        fits_uncompress_table(input, output, &status);
        break;
    case HduAction::DecompressImage:
        fits_img_decompress(input, output, &status);
        break;
    case HduAction::Copy:
        fits_copy_hdu(input, output, 0, &status);
        break;
    }
}

// Formats one report line; a line is cut after 512 characters but keeps its
// line break.
void printReportLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
void printReportLine(const char *format, ...)
{
    char line[513];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fputs(line, stderr);
    if (n >= int(sizeof line))
        std::fputc('\n', stderr);
}

// Reports a failed unpacking on standard error (standard output carries the
// metadata record), closes the input and discards the partial output.
void reportUnpackError(FitsPtr input, FitsPtr output, int status)
{
    if (input) {
        // CFITSIO refuses names of FLEN_FILENAME or more, and copies the
        // name without a bound, so the buffer must be that large.
        char name[FLEN_FILENAME] = "";
        int hdu = 0;
        int infoStatus = 0;
        fits_file_name(input.get(), name, &infoStatus);
        fits_get_hdu_num(input.get(), &hdu);
        int closeStatus = 0;
        fits_close_file(input.release(), &closeStatus);
        printReportLine("Error processing file: %s\n", name);
        printReportLine("  in HDU number %d\n", hdu);
    } else {
        printReportLine("Error: Unable to process input file\n");
    }
    fits_report_error(stderr, status);
    if (output) {
        int deleteStatus = 0;
        fits_delete_file(output.release(), &deleteStatus);
        std::fputs("Input file is unchanged.\n", stderr);
    }
}

// Expands every HDU of `input` onto `output`, then writes the checksums of
// HDU 1 again now that the whole file exists. Returns the CFITSIO status.
int expandAll(fitsfile *input, fitsfile *output, UnpackBudget &budget)
{
    int status = 0;
    for (;;) {
        unpackHdu(input, output, budget, status);
        fits_write_chksum(output, &status);
        if (status)
            break;
        fits_write_errmark();
        fits_movrel_hdu(input, 1, nullptr, &status);
        // Only the move past the last HDU ends the file cleanly; the same
        // status from reading inside an HDU means the file is truncated.
        if (status == END_OF_FILE) {
            status = 0;
            fits_clear_errmark();
            break;
        }
        if (status)
            break;
        fits_clear_errmark();
    }
    fits_movabs_hdu(output, 1, nullptr, &status);
    fits_write_chksum(output, &status);
    return status;
}

// End of the last HDU: the size of the file as FITS sees it, whatever the
// buffer under it holds. Leaves the file at HDU 1.
LONGLONG logicalSize(fitsfile *file, int &status)
{
    int count = 0;
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    fits_get_num_hdus(file, &count, &status);
    fits_movabs_hdu(file, count, nullptr, &status);
    fits_get_hduaddrll(file, &headStart, &dataStart, &dataEnd, &status);
    fits_movabs_hdu(file, 1, nullptr, &status);
    return dataEnd;
}

QString statusText(int status)
{
    // CFITSIO 4.2 has no text for this code of its own.
    if (status == NO_COMPRESSED_TILE)
        return QStringLiteral("a compressed tile is missing or cut short (CFITSIO status %1)").arg(status);
    char text[FLEN_STATUS] = "";
    fits_get_errstatus(status, text);
    return QStringLiteral("%1 (CFITSIO status %2)").arg(QString::fromUtf8(text)).arg(status);
}

} // namespace

bool FITSData::unpackToMemory(const QByteArray &bytes)
{
    // The copy replaces whatever was open; nothing may point into the old
    // buffer once it is freed.
    fitsHandle.reset();
    releaseMemoryFile();

    const bool fromFile = bytes.isEmpty();
    QString temporaryName;
    if (fromFile) {
        packedFilename = filename;
        // Only names the memory file; no file is created under it.
        temporaryName = QDir::tempPath() + QLatin1Char('/') + QUuid::createUuid().toString(QUuid::Id128);
    }
    const size_t step = fromFile ? kBlock : kBytesStep;

    int status = 0;
    UnpackBudget budget;
    fitsfile *opened = nullptr;
    // CFITSIO's memory driver reads whole 2880-byte blocks, also past the
    // end of a buffer whose size is not a multiple of that; a short last
    // block is completed with zeros, which is what FITS fill holds anyway.
    QByteArray padded;
    const char *inputData = bytes.constData();
    size_t inputLength = size_t(bytes.size());
    if (inputLength % kBlock) {
        padded = bytes + QByteArray(int(kBlock - inputLength % kBlock), '\0');
        inputData = padded.constData();
        inputLength = size_t(padded.size());
    }
    // CFITSIO keeps the addresses of the input buffer and its size while the
    // input is open; opened read-only, it never writes through them.
    void *inputBuffer = const_cast<char *>(inputData);
    size_t inputBufferSize = inputLength;
    if (fromFile) {
        // The disk-file entry reads the name as it is: brackets, a leading
        // "-" or "!", or a URL prefix are never taken as CFITSIO syntax.
        const QByteArray name = QFile::encodeName(filename);
        fits_open_diskfile(&opened, name.constData(), READONLY, &status);
        budget.inputSize = uint64_t(qMax<qint64>(0, QFileInfo(filename).size()));
    } else {
        fits_open_memfile(&opened, "", READONLY, &inputBuffer, &inputBufferSize, kBlock, nullptr, &status);
        budget.inputSize = uint64_t(bytes.size());
    }
    FitsPtr input(opened);

    memoryFile = std::malloc(step);
    memoryFileSize = memoryFile ? step : 0;
    if (!memoryFile && status == 0) {
        fits_write_errmsg("cannot allocate the unpacked file");
        status = MEMORY_ALLOCATION;
    }
    opened = nullptr;
    fits_create_memfile(&opened, &memoryFile, &memoryFileSize, step, std::realloc, &status);
    FitsPtr output(opened);

    LONGLONG size = 0;
    if (status == 0) {
        status = expandAll(input.get(), output.get(), budget);
        size = logicalSize(output.get(), status);
    }
    if (status) {
        loadError = budget.refusal.isEmpty() ? QStringLiteral("unpacking failed: %1").arg(statusText(status))
                                             : budget.refusal;
        reportUnpackError(std::move(input), std::move(output), status);
        releaseMemoryFile();
        return false;
    }

    input.reset();
    if (fromFile) {
        fitsHandle = std::move(output);
        filename = temporaryName;
        inTempDir = true;
        stats.size = size;
        return true;
    }

    // The buffer is larger than the file in it and its tail was never
    // written: the reopened file must end where the FITS data ends. It is
    // opened without a name, since CFITSIO would read brackets in one as an
    // extension selector.
    output.reset();
    memoryFileSize = size_t(size);
    opened = nullptr;
    fits_open_memfile(&opened, "", READONLY, &memoryFile, &memoryFileSize, 0, nullptr, &status);
    fitsHandle.reset(opened);
    if (status == 0)
        size = logicalSize(fitsHandle.get(), status);
    if (status) {
        loadError = QStringLiteral("cannot reopen the unpacked file: %1").arg(statusText(status));
        fitsHandle.reset();
        releaseMemoryFile();
        return false;
    }
    inTempDir = true;
    stats.size = size;
    return true;
}
