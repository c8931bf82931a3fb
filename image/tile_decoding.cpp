#include "image/tile_decoding.h"
#include "image/tile_checks.h"

#include <QThreadPool>
#include <QtConcurrent>

#include <algorithm>
#include <vector>

namespace {

// Rows [firstRow, endRow) of one plane, a whole number of tile rows.
struct Band {
    int plane = 0;
    int firstRow = 0;
    int endRow = 0;
    int status = 0;
};

// Enough bands for every pool thread to take several, so that a slow band
// holds nobody up, and few enough that opening a handle for each costs
// nothing next to its tiles.
constexpr int kBandsPerThread = 4;

std::vector<Band> bandsOf(const TiledRegion &region, int tileRows)
{
    const int threads = std::max(1, QThreadPool::globalInstance()->maxThreadCount());
    const int tilesDown = (region.height + tileRows - 1) / tileRows;
    const int tilesPerBand = std::max(1, tilesDown / (threads * kBandsPerThread));
    std::vector<Band> bands;
    for (int plane = 0; plane < region.planes; ++plane) {
        for (int row = 0; row < region.height; row += tilesPerBand * tileRows)
            bands.push_back({plane, row, std::min(region.height, row + tilesPerBand * tileRows), 0});
    }
    return bands;
}

} // namespace

bool readTiledImage(fitsfile *file, void *bytes, size_t size, const TiledRegion &region, int readType,
                    int bytesPerSample, uint8_t *out, QString &reason, int &status)
{
    reason = compressedImageViolation(file, TileScope::Streams, status);
    if (status || !reason.isEmpty())
        return false;
    int hdu = 0;
    fits_get_hdu_num(file, &hdu);
    const FITSfile &compressed = *file->Fptr;
    const int naxis = compressed.zndim;
    // A tile that spans planes is decoded whole by every band that touches
    // it: such an image is read as one band.
    const bool planeTiles = naxis < 3 || compressed.tilesize[2] == 1;
    const int tileRows = int(std::max<long>(1, compressed.tilesize[1]));
    std::vector<Band> bands = planeTiles ? bandsOf(region, tileRows) : std::vector<Band>();
    if (!planeTiles) {
        for (int plane = 0; plane < region.planes; ++plane)
            bands.push_back({plane, 0, region.height, 0});
    }

    const size_t rowBytes = size_t(region.width) * size_t(bytesPerSample);
    const size_t planeBytes = rowBytes * size_t(region.height);
    QtConcurrent::blockingMap(bands, [&](Band &band) {
        // CFITSIO reads a memory file through the addresses of its buffer
        // pointer and size, which must live as long as the handle.
        void *address = bytes;
        size_t length = size;
        fitsfile *opened = nullptr;
        fits_open_memfile(&opened, "", READONLY, &address, &length, 0, nullptr, &band.status);
        const FitsPtr own(opened);
        fits_movabs_hdu(own.get(), hdu, nullptr, &band.status);
        std::vector<long> first(size_t(naxis), 1), last(size_t(naxis), 1), step(size_t(naxis), 1);
        first[0] = 1;
        last[0] = region.width;
        first[1] = band.firstRow + 1;
        last[1] = band.endRow;
        if (naxis >= 3)
            first[2] = last[2] = band.plane + 1;
        uint8_t *at = out + size_t(band.plane) * planeBytes + size_t(band.firstRow) * rowBytes;
        int anyNull = 0;
        fits_read_subset(own.get(), readType, first.data(), last.data(), step.data(), nullptr, at, &anyNull,
                         &band.status);
    });
    // The first failure in file order, whichever band finished first.
    for (const Band &band : bands) {
        if (band.status) {
            status = band.status;
            return false;
        }
    }
    return true;
}
