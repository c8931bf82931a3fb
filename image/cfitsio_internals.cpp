#include "image/cfitsio.h"

#include <algorithm>

// The one place that relies on the layout of CFITSIO's file structure,
// which may change with any version of the library.

CompressedHdu compressedHdu(fitsfile *file)
{
    const FITSfile &f = *file->Fptr;
    CompressedHdu hdu;
    hdu.compression = f.compress_type;
    hdu.bitpix = f.zbitpix;
    hdu.dimensions = f.zndim;
    std::copy(f.znaxis, f.znaxis + MAX_COMPRESS_DIM, hdu.axes);
    std::copy(f.tilesize, f.tilesize + MAX_COMPRESS_DIM, hdu.tile);
    hdu.rows = f.numrows;
    hdu.riceBlock = f.rice_blocksize;
    hdu.riceBytes = f.rice_bytepix;
    hdu.hcompressSmooth = f.hcomp_smooth;
    hdu.compressedColumn = f.cn_compressed;
    hdu.uncompressedColumn = f.cn_uncompressed;
    hdu.losslessColumn = f.cn_gzip_data;
    hdu.scaleColumn = f.cn_zscale;
    hdu.zeroColumn = f.cn_zzero;
    hdu.blankColumn = f.cn_zblank;
    hdu.scale = f.zscale;
    hdu.zero = f.zzero;
    hdu.blank = f.zblank;
    hdu.bscale = f.cn_bscale;
    hdu.bzero = f.cn_bzero;
    hdu.quantiseMethod = f.quantize_method;
    hdu.quantiseLevel = f.quantize_level;
    hdu.ditherSeed = f.dither_seed;
    hdu.dataStart = f.datastart;
    hdu.heapStart = f.heapstart;
    hdu.heapSize = f.heapsize;
    hdu.fileSize = f.filesize;
    return hdu;
}

int64_t fitsFileSize(fitsfile *file)
{
    return file->Fptr->logfilesize;
}

void fitsMakeReadOnly(fitsfile *file)
{
    file->Fptr->writemode = READONLY;
}
