#include "image/fits_data.h"
#include "image/limits.h"
#include "image/tile_checks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kBlock = size_t(kFitsBlock);

enum class HduAction { Copy, DecompressImage, DecompressTable };

// Running total of what the file would take expanded. A compressed image's
// claim is the sample buffer its decoding allocates whether or not the tiles
// hold the data behind it; the total of every HDU is checked, as it was when
// the whole file was expanded, so that the same files load as before and
// many small claims cannot add up either.
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
        // The tiles' streams are checked as the image is decoded: a
        // record needs only the layout to be sound.
        if (action == HduAction::DecompressImage)
            violation = compressedImageViolation(input, TileScope::Layout, status);
    }
    if (status == 0 && !violation.isEmpty()) {
        budget.refusal = violation;
        fits_write_errmsg("a compressed tile disagrees with its HDU");
        status = DATA_DECOMPRESSION_ERR;
    }
}

// What the load would do with the current HDU of `input` if it expanded
// it: tile-compressed images and tables are what the checks concern.
HduAction actionOf(fitsfile *input, int &status)
{
    int hduType = 0;
    fits_get_hdu_type(input, &hduType, &status);
    // CFITSIO reports a tile-compressed image as an image HDU, so only real
    // tables come down the first branch.
    if (status == 0 && hduType == BINARY_TBL) {
        int compressedTable = 0;
        HduAction action = HduAction::Copy;
        fits_write_errmark();
        fits_read_key(input, TLOGICAL, "ZTABLE", &compressedTable, nullptr, &status);
        if (status == KEY_NO_EXIST)
            status = 0;
        else if (status == 0 && compressedTable)
            action = HduAction::DecompressTable;
        if (status == 0)
            fits_clear_errmark();
        return action;
    }
    if (status == 0 && fits_is_compressed_image(input, &status))
        return HduAction::DecompressImage;
    return HduAction::Copy;
}

// Admits every HDU of `input` as if the whole file were expanded, so that a
// file is refused or read by the same rules whichever of its HDUs the load
// reads. Returns the CFITSIO status.
int admitAll(fitsfile *input, UnpackBudget &budget)
{
    int status = 0;
    for (;;) {
        HduAction action = actionOf(input, status);
        admitHdu(input, action, budget, status);
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
    return status;
}

} // namespace

bool FITSData::openCompressed(const QByteArray &bytes)
{
    // The copy replaces whatever was open; nothing may point into the old
    // buffer once it is freed.
    fitsHandle.reset();
    releaseMemoryFile();

    const bool fromFile = bytes.isEmpty();
    int status = 0;
    UnpackBudget budget;
    fitsfile *opened = nullptr;
    if (fromFile) {
        packedFilename = filename;
        budget.inputSize = uint64_t(qMax<qint64>(0, QFileInfo(filename).size()));
        // The file is checked and its header read from disk, where CFITSIO
        // sees where it ends. The disk-file entry reads the name as it is:
        // brackets, a leading "-" or "!", or a URL prefix are never taken as
        // CFITSIO syntax.
        fits_open_diskfile(&opened, QFile::encodeName(filename).constData(), READONLY, &status);
    } else {
        budget.inputSize = uint64_t(bytes.size());
        if (!holdBytes(bytes.constData(), size_t(bytes.size())))
            return false;
        // Opened without a name: CFITSIO would read brackets in one as an
        // extension selector.
        fits_open_memfile(&opened, "", READONLY, &memoryFile, &memoryFileSize, 0, fitsMemoryFileResize, &status);
    }
    FitsPtr input(opened);
    if (status == 0)
        status = admitAll(input.get(), budget);
    if (status == 0)
        fits_movabs_hdu(input.get(), 1, nullptr, &status);
    if (status) {
        loadError = budget.refusal.isEmpty() ? QStringLiteral("unpacking failed: %1").arg(memoryFileStatusText(status))
                                             : budget.refusal;
        input.reset();
        releaseMemoryFile();
        return false;
    }
    // The decoding bands read the file's bytes from memory; a record needs
    // none of them.
    if (fromFile && !headerOnly) {
        QFile file(filename);
        const size_t size = size_t(budget.inputSize);
        if (!file.open(QIODevice::ReadOnly) || !holdBytes(nullptr, size) ||
            file.read(static_cast<char *>(memoryFile), qint64(size)) != qint64(size)) {
            if (loadError.isEmpty())
                loadError = QStringLiteral("unpacking failed: %1").arg(file.errorString());
            releaseMemoryFile();
            return false;
        }
    }
    fitsHandle = std::move(input);
    if (fromFile)
        filename = QDir::tempPath() + QLatin1Char('/') + QUuid::createUuid().toString(QUuid::Id128);
    inTempDir = true;
    stats.size = qint64(budget.inputSize);
    return true;
}

bool FITSData::holdBytes(const char *bytes, size_t size)
{
    // Every pool thread decodes its tiles through its own handle on these
    // bytes. CFITSIO's memory driver reads whole 2880-byte blocks, also past
    // the end of a buffer whose size is not a multiple of that; a short last
    // block is completed with zeros, which is what FITS fill holds anyway.
    const size_t padded = std::max<size_t>((size + kBlock - 1) / kBlock * kBlock, kBlock);
    memoryFile = std::calloc(padded, 1);
    if (!memoryFile) {
        loadError = QStringLiteral("cannot allocate %1 bytes").arg(padded);
        return false;
    }
    if (bytes && size)
        std::memcpy(memoryFile, bytes, size);
    memoryFileSize = padded;
    return true;
}
