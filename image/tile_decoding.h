#pragma once

#include "image/cfitsio.h"

#include <QString>

#include <cstdint>

// The part of a tile-compressed image that the image object keeps: the
// first `planes` planes of `width` x `height` samples.
struct TiledRegion {
    int width = 0;
    int height = 0;
    int planes = 1;
};

// Reads `region` of the compressed image at the current HDU of `file` into
// `out`, converted to the CFITSIO type `readType` of `bytesPerSample`
// bytes. `file` must be a read-only memory file on `bytes` (`size` bytes,
// whole blocks): bands of whole tiles are decoded on every pool thread,
// each through its own handle on the same bytes. The tiles are checked
// first. False with `reason` set when a tile is unsound, or with `status`
// set when CFITSIO fails (NUM_OVERFLOW: a value does not fit `readType`).
bool readTiledImage(fitsfile *file, void *bytes, size_t size, const TiledRegion &region, int readType,
                    int bytesPerSample, uint8_t *out, QString &reason, int &status);
