// libFuzzer target: a FITS file held in memory through the whole load of the
// image object (the checks of packed files and the decoding of their tiles,
// Rice, GZIP, PLIO, HCOMPRESS and quantised floats, header records,
// Bayer detection and demosaic, statistics, world coordinates), then the
// rendering of a preview.
//
// Input: one option byte, then the file. Option bits: 0 names the file
// ".fits.fz" (read as packed at once) rather than ".fits"; 1 loads in Focus mode
// (grey Bayer result, no world coordinates) rather than Normal; 2 loads the
// header only, as the metadata record does; 3-5 the demosaic method.

#include "fuzz/fuzz_support.h"
#include "image/fits_structure.h"
#include "image/limits.h"

#include <fitsio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Loads below this keep the harness under the fuzzer's memory limit, with
// room for the samples, their float fallback and three demosaiced planes. The loader accepts much more: the limits of
// image/limits.h allow gigabytes for a file that justifies them.
constexpr uint64_t kMaxHarnessClaim = 48u << 20;

struct FitsCloserLocal {
    void operator()(fitsfile *f) const
    {
        int status = 0;
        fits_close_file(f, &status);
    }
};

uint64_t saturatingAdd(uint64_t a, uint64_t b)
{
    uint64_t r = 0;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

uint64_t saturatingMul(uint64_t a, uint64_t b)
{
    uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// What the load would claim for the file's HDUs as far as CFITSIO can
// walk them: the declared image or table size of compressed HDUs, the file
// itself for the rest. A file CFITSIO cannot read claims nothing.
uint64_t unpackClaim(const char *bytes, size_t size)
{
    // CFITSIO reads memory files in whole 2880-byte blocks.
    const size_t padded = (size + 2879) / 2880 * 2880;
    std::unique_ptr<char, decltype(&std::free)> copy(static_cast<char *>(std::calloc(padded, 1)), &std::free);
    if (!copy)
        return UINT64_MAX;
    std::memcpy(copy.get(), bytes, size);
    void *buffer = copy.get();
    size_t bufferSize = padded;
    int status = 0;
    fitsfile *opened = nullptr;
    fits_open_memfile(&opened, "", READONLY, &buffer, &bufferSize, 0, nullptr, &status);
    std::unique_ptr<fitsfile, FitsCloserLocal> file(opened);
    uint64_t claim = size;
    for (int hdu = 1; status == 0 && hdu < 1000; ++hdu) {
        int type = 0;
        fits_movabs_hdu(file.get(), hdu, &type, &status);
        if (status)
            break;
        if (type == IMAGE_HDU && fits_is_compressed_image(file.get(), &status)) {
            int bitpix = 0, naxis = 0;
            LONGLONG axes[kMaxFitsAxes] = {};
            fits_get_img_paramll(file.get(), kMaxFitsAxes, &bitpix, &naxis, axes, &status);
            uint64_t bytes = uint64_t(std::abs(int64_t(bitpix)) / 8);
            for (int i = 0; i < naxis && i < kMaxFitsAxes; ++i)
                bytes = saturatingMul(bytes, uint64_t(std::max<LONGLONG>(axes[i], 0)));
            claim = saturatingAdd(claim, bytes);
        } else if (type == BINARY_TBL) {
            LONGLONG rowBytes = 0, rows = 0, heap = 0;
            int keyStatus = 0;
            fits_read_key(file.get(), TLONGLONG, "ZNAXIS1", &rowBytes, nullptr, &keyStatus);
            fits_read_key(file.get(), TLONGLONG, "ZNAXIS2", &rows, nullptr, &keyStatus);
            int heapStatus = 0;
            fits_read_key(file.get(), TLONGLONG, "ZPCOUNT", &heap, nullptr, &heapStatus);
            if (keyStatus == 0)
                claim = saturatingAdd(claim, saturatingAdd(saturatingMul(uint64_t(std::max<LONGLONG>(rowBytes, 0)),
                                                                         uint64_t(std::max<LONGLONG>(rows, 0))),
                                                           uint64_t(std::max<LONGLONG>(heap, 0))));
        }
    }
    fits_clear_errmsg();
    return claim;
}

// True when the loader would accept a claim this large: only such inputs
// are too big for the harness; refusals cost nothing and are exercised.
bool loaderAccepts(uint64_t claim, uint64_t inputSize)
{
    if (claim > kMaxUnpackedBytes)
        return false;
    return !(claim > kUnpackFreeBytes && claim / kMaxUnpackRatio > inputSize);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > kMaxFuzzInputBytes)
        return 0;
    useOnePoolThread();
    const uint8_t options = data[0];
    const char *file = reinterpret_cast<const char *>(data + 1);
    const size_t fileSize = size - 1;

    // The walk over the headers comes first in the load too: only a file
    // that passes it reaches CFITSIO, in the load or in the claim estimate.
    const QByteArray bytes(file, int(fileSize));
    if (fitsStructureViolation(bytes, QString()).isEmpty()) {
        const uint64_t claim = unpackClaim(file, fileSize);
        if (claim > kMaxHarnessClaim && loaderAccepts(claim, fileSize))
            return 0;
    }

    FITSData image;
    // A name outside /tmp: no scratch copy of Bayer data is written.
    image.filename = QStringLiteral("fuzz.fits");
    image.extension = (options & 1) ? QStringLiteral("fits.fz") : QStringLiteral("fits");
    image.mode = (options & 2) ? Focus : Normal;
    image.headerOnly = (options & 4) != 0;
    image.bayer.method = (options >> 3) & 7;
    const bool loaded = image.loadByExtension(bytes);
    if (!loaded || image.headerOnly)
        return 0;
    const QImage preview = renderForFuzzing(image, 100, 90);
    static_cast<void>(preview);
    return 0;
}
