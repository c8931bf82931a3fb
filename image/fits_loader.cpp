#include "image/fits_data.h"
#include "image/header_cards.h"
#include "image/limits.h"
#include "image/sample_memory.h"
#include "image/tile_decoding.h"

#include <QFile>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

// How one BITPIX lands in the sample buffer.
struct SampleFormat {
    SampleType sampleType = SampleType::None;
    int bytesPerSample = 0;
    int bitpix = 0;  // what `bitpix` records afterwards
};

// Signed 16- and 32-bit data are read as unsigned samples: CFITSIO applies
// BZERO while reading, and the usual offsets of 32768 and 2^31 make the
// stored values unsigned. Data that does not fit falls back to floats.
bool sampleFormatOf(int bitpix, SampleFormat &format)
{
    switch (bitpix) {
    case BYTE_IMG:
        format = {SampleType::UInt8, 1, BYTE_IMG};
        return true;
    case SHORT_IMG:
    case USHORT_IMG:
        format = {SampleType::UInt16, 2, USHORT_IMG};
        return true;
    case LONG_IMG:
    case ULONG_IMG:
        format = {SampleType::UInt32, 4, ULONG_IMG};
        return true;
    case LONGLONG_IMG:
        format = {SampleType::Int64, 8, LONGLONG_IMG};
        return true;
    case FLOAT_IMG:
        format = {SampleType::Float, 4, FLOAT_IMG};
        return true;
    case DOUBLE_IMG:
        format = {SampleType::Double, 8, DOUBLE_IMG};
        return true;
    default:
        return false;
    }
}

// Signed integers with negative physical values (no unsigned offset, or
// BZERO -128 on bytes) overflow the unsigned read. Floats hold every 8- and
// 16-bit value exactly and every later step handles them; 64-bit data
// (unsigned, with BZERO 2^63) goes to doubles, which keep more of it.
SampleFormat overflowFallback(const SampleFormat &format)
{
    if (format.sampleType == SampleType::Int64)
        return {SampleType::Double, 8, DOUBLE_IMG};
    return {SampleType::Float, 4, FLOAT_IMG};
}

struct ImageHdu {
    int bitpix = 0;
    int naxis = 0;
    std::vector<LONGLONG> axes = std::vector<LONGLONG>(size_t(kMaxFitsAxes), 0);
};

// Parameters of the current HDU with all its axes: the size check needs
// every axis, not only the three the image model keeps.
void readImageParameters(fitsfile *file, ImageHdu &hdu, int &status)
{
    fits_get_img_paramll(file, kMaxFitsAxes, &hdu.bitpix, &hdu.naxis, hdu.axes.data(), &status);
}

// Packed files and multi-extension files often keep their image behind an
// empty primary array: the first image HDU with two or more axes, a
// tile-compressed one too when the file is read `tiled`.
bool moveToFirstImage(fitsfile *file, ImageHdu &hdu, bool tiled, int &status)
{
    for (int number = 2; status == 0; ++number) {
        int type = 0;
        fits_movabs_hdu(file, number, &type, &status);
        // CFITSIO calls a compressed HDU whose compression it does not know
        // a table; reading it then fails with the reason.
        const bool compressed = fits_is_compressed_image(file, &status);
        if (status || (tiled ? !compressed && type != IMAGE_HDU : type != IMAGE_HDU || compressed))
            continue;
        readImageParameters(file, hdu, status);
        if (status == 0 && hdu.naxis >= 2)
            return true;
    }
    // Running off the end is how the search finds nothing.
    if (status == END_OF_FILE)
        status = 0;
    return false;
}

// Bytes the header declares for the data, saturating instead of wrapping.
uint64_t declaredDataBytes(const ImageHdu &hdu)
{
    uint64_t total = uint64_t(std::abs(hdu.bitpix) / 8);
    for (int i = 0; i < hdu.naxis; ++i) {
        if (__builtin_mul_overflow(total, uint64_t(hdu.axes[size_t(i)]), &total))
            return UINT64_MAX;
    }
    return total;
}

// The first check that `hdu` fails, as a short reason; empty when the image
// fits the model and the `available` bytes of the file hold all the data
// its header declares.
QString limitViolation(fitsfile *file, const ImageHdu &hdu, int64_t available, int &status)
{
    if (hdu.naxis < 0 || hdu.naxis > kMaxFitsAxes)
        return QStringLiteral("NAXIS %1 outside 0..%2").arg(hdu.naxis).arg(kMaxFitsAxes);
    for (int i = 0; i < hdu.naxis; ++i) {
        if (hdu.axes[size_t(i)] <= 0)
            return QStringLiteral("axis %1 has length %2").arg(i + 1).arg(hdu.axes[size_t(i)]);
    }
    for (int i = 0; i < 2; ++i) {
        if (hdu.axes[size_t(i)] > LONGLONG(kMaxAxisLength))
            return QStringLiteral("axis %1 longer than %2").arg(i + 1).arg(kMaxAxisLength);
    }
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    fits_get_hduaddrll(file, &headStart, &dataStart, &dataEnd, &status);
    if (status)
        return fitsStatusText(status);
    // CFITSIO reads whole 2880-byte records: from a last record cut short it
    // reads garbage on disk and past the end of a memory buffer.
    const uint64_t declared = declaredDataBytes(hdu);
    const int64_t blocks = available / kFitsBlock * kFitsBlock;
    const uint64_t held = uint64_t(std::max<int64_t>(blocks - dataStart, 0));
    if (declared > held)
        return QStringLiteral("header declares %1 data bytes, the file holds %2").arg(declared).arg(held);
    return QString();
}

// The common layouts, whose conversion by CFITSIO (no scaling, no null
// check) comes down to a byte swap from big-endian, and for unsigned data
// stored with the usual offset to a flip of the top bit.
struct DirectLayout {
    int bytes = 0;               // bytes per sample; 0: CFITSIO converts
    bool flipTopBit = false;     // BZERO 2^15 or 2^31 on signed data
    bool negativeFails = false;  // BZERO 0 on signed data read as unsigned
};

// A scaling keyword, or `fallback` when it is absent; false when it cannot
// be read as a number.
bool scalingKeyword(fitsfile *file, const char *keyword, double fallback, double &value)
{
    int status = 0;
    value = fallback;
    char comment[FLEN_COMMENT] = {};
    fits_read_key_dbl(file, keyword, &value, comment, &status);
    if (status == KEY_NO_EXIST) {
        value = fallback;
        return true;
    }
    return status == 0;
}

DirectLayout directLayoutOf(fitsfile *file, int bitpix, const SampleFormat &format)
{
    double zero = 0, scale = 1;
    int status = 0;
    char blank[FLEN_VALUE] = {};
    char comment[FLEN_COMMENT] = {};
    fits_read_keyword(file, "BLANK", blank, comment, &status);
    if (status != KEY_NO_EXIST || !scalingKeyword(file, "BZERO", 0.0, zero) ||
        !scalingKeyword(file, "BSCALE", 1.0, scale) || scale != 1.0)
        return {};
    switch (bitpix) {
    case BYTE_IMG:
        if (format.sampleType == SampleType::UInt8 && zero == 0.0)
            return {1, false, false};
        break;
    case SHORT_IMG:
        if (format.sampleType == SampleType::UInt16 && (zero == 32768.0 || zero == 0.0))
            return {2, zero != 0.0, zero == 0.0};
        break;
    case LONG_IMG:
        if (format.sampleType == SampleType::UInt32 && (zero == 2147483648.0 || zero == 0.0))
            return {4, zero != 0.0, zero == 0.0};
        break;
    case LONGLONG_IMG:
        if (format.sampleType == SampleType::Int64 && zero == 0.0)
            return {8, false, false};
        break;
    case FLOAT_IMG:
        if (format.sampleType == SampleType::Float && zero == 0.0)
            return {4, false, false};
        break;
    case DOUBLE_IMG:
        if (format.sampleType == SampleType::Double && zero == 0.0)
            return {8, false, false};
        break;
    default:
        break;
    }
    return {};
}

// Big-endian samples of sizeof(U) bytes to the machine's order in place,
// with `flip` XORed in. Returns the OR of the results, whose top bit tells
// whether any stored value was negative.
template <typename U>
U swapInPlace(uint8_t *bytes, size_t count, U flip)
{
    U any = 0;
    size_t i = 0;
#if defined(__SSE2__)
    // Compilers leave the 4- and 8-byte swaps scalar: whole 16-byte groups
    // go through SSE2, whose 16-bit shuffles and shifts reverse the bytes.
    const size_t perVector = 16 / sizeof(U);
    const __m128i flips = sizeof(U) == 2   ? _mm_set1_epi16(int16_t(flip))
                          : sizeof(U) == 4 ? _mm_set1_epi32(int32_t(flip))
                                           : _mm_set1_epi64x(int64_t(flip));
    __m128i anyVector = _mm_setzero_si128();
    for (; i + perVector <= count; i += perVector) {
        __m128i *at = reinterpret_cast<__m128i *>(bytes + i * sizeof(U));
        __m128i v = _mm_loadu_si128(at);
        if constexpr (sizeof(U) == 4) {
            v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
        } else if constexpr (sizeof(U) == 8) {
            v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(0, 1, 2, 3)), _MM_SHUFFLE(0, 1, 2, 3));
        }
        v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        v = _mm_xor_si128(v, flips);
        anyVector = _mm_or_si128(anyVector, v);
        _mm_storeu_si128(at, v);
    }
    U lanes[16 / sizeof(U)];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), anyVector);
    for (const U lane : lanes)
        any |= lane;
#endif
    for (; i < count; ++i) {
        U v;
        std::memcpy(&v, bytes + i * sizeof(U), sizeof(U));
        if constexpr (sizeof(U) == 2)
            v = __builtin_bswap16(v);
        else if constexpr (sizeof(U) == 4)
            v = __builtin_bswap32(v);
        else if constexpr (sizeof(U) == 8)
            v = __builtin_bswap64(v);
        v ^= flip;
        any |= v;
        std::memcpy(bytes + i * sizeof(U), &v, sizeof(U));
    }
    return any;
}

// Whether any sample of this block was negative (only asked for signed
// data read as unsigned without offset).
bool convertBlock(uint8_t *bytes, size_t count, const DirectLayout &layout)
{
    switch (layout.bytes) {
    case 2:
        return swapInPlace<uint16_t>(bytes, count, layout.flipTopBit ? 0x8000 : 0) & 0x8000;
    case 4:
        return swapInPlace<uint32_t>(bytes, count, layout.flipTopBit ? 0x80000000u : 0) & 0x80000000u;
    case 8:
        swapInPlace<uint64_t>(bytes, count, 0);
        return false;
    default:
        return false;
    }
}

// Bytes read and converted at a time: the block is still in the core's
// cache when it is converted.
constexpr size_t kDirectBlock = size_t(256) << 10;

// Reads `count` samples of a direct layout from the start of the current
// HDU's data into `out`: exactly what CFITSIO's conversion gives. False
// when the data must go through CFITSIO's conversion after all: a read
// error, or signed values read as unsigned, where its overflow decides.
bool readDirect(fitsfile *file, const DirectLayout &layout, uint64_t count, uint8_t *out, int &status)
{
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    fits_get_hduaddrll(file, &headStart, &dataStart, &dataEnd, &status);
    const size_t total = size_t(count) * size_t(layout.bytes);
    bool negative = false;
    for (size_t done = 0; done < total && status == 0;) {
        const size_t block = std::min(kDirectBlock, total - done);
        // After a large read CFITSIO 4.2 does not stand where the next one
        // must start, so every block is positioned on its own.
        ffmbyt(file, dataStart + LONGLONG(done), kFitsReportEndOfFile, &status);
        ffgbyt(file, LONGLONG(block), out + done, &status);
        if (status == 0 && layout.negativeFails)
            negative |= convertBlock(out + done, block / size_t(layout.bytes), layout);
        else if (status == 0)
            convertBlock(out + done, block / size_t(layout.bytes), layout);
        done += block;
    }
    return status == 0 && !negative;
}

// Reads every sample of the shape in `image.stats` from the current HDU into
// a new buffer of `format`.
bool readSamples(FITSData &image, fitsfile *file, int bitpix, const SampleFormat &format, int &status)
{
    image.pixels.reset();
    image.pixelBytes = 0;
    const uint64_t count = uint64_t(image.stats.samplesPerChannel) * image.stats.channels;
    const uint64_t bytes = count * uint64_t(format.bytesPerSample);
    if (bytes > kMaxImageBytes) {
        image.loadError = QStringLiteral("%1 sample bytes exceed the limit of %2").arg(bytes).arg(kMaxImageBytes);
        return false;
    }
    image.pixels = newSampleBuffer(size_t(bytes));
    if (!image.pixels) {
        image.loadError = QStringLiteral("cannot allocate %1 bytes").arg(bytes);
        return false;
    }
    image.pixelBytes = uint32_t(bytes);
    image.stats.sampleType = format.sampleType;
    image.stats.bytesPerSample = format.bytesPerSample;
    image.bitpix = format.bitpix;
    const int readType = fitsDatatypeOf(format.sampleType);
    if (fits_is_compressed_image(file, &status)) {
        const TiledRegion region{image.stats.width, image.stats.height, image.stats.channels};
        QString reason;
        if (readTiledImage(file, image.memoryFile, image.memoryFileSize, region, readType,
                           format.bytesPerSample, image.pixels.get(), reason, status))
            return true;
        image.loadError = reason.isEmpty() ? QStringLiteral("unpacking failed: %1").arg(memoryFileStatusText(status)) : reason;
        image.pixels.reset();
        image.pixelBytes = 0;
        return false;
    }
    const DirectLayout layout = directLayoutOf(file, bitpix, format);
    if (layout.bytes && status == 0) {
        int directStatus = 0;
        if (readDirect(file, layout, count, image.pixels.get(), directStatus))
            return true;
        // Whatever went wrong, CFITSIO's own reading reports it as always.
    }
    int anyNull = 0;
    fits_read_img(file, readType, 1, LONGLONG(count), nullptr, image.pixels.get(), &anyNull, &status);
    if (status) {
        image.loadError = fitsStatusText(status);
        image.pixels.reset();
        image.pixelBytes = 0;
        return false;
    }
    return true;
}

// Header keyword as text without its quotes; empty when absent.
QString keywordText(fitsfile *file, const char *keyword, int &status)
{
    char value[FLEN_VALUE] = {};
    char comment[FLEN_COMMENT] = {};
    fits_read_keyword(file, keyword, value, comment, &status);
    if (status)
        return QString();
    return QString::fromLatin1(value).remove(QLatin1Char('\'')).trimmed();
}

// CFITSIO's integer reading copies up to 30 characters of a value it cannot
// convert into a message buffer too small for them: a value of 29 or more
// that is no integer overflows it. No integer needs that many, so such a
// value is refused here before CFITSIO converts it.
void readIntegerKey(fitsfile *file, const char *keyword, int &value, int &status)
{
    char text[FLEN_VALUE] = {};
    fits_read_keyword(file, keyword, text, nullptr, &status);
    if (status == 0 && std::strlen(text) >= 29)
        status = BAD_INTKEY;
    fits_read_key(file, TINT, keyword, &value, nullptr, &status);
}

int patternCode(const QString &text)
{
    if (text == QLatin1String("RGGB"))
        return kPatternRGGB;
    if (text == QLatin1String("GBRG"))
        return kPatternGBRG;
    if (text == QLatin1String("GRBG"))
        return kPatternGRBG;
    if (text == QLatin1String("BGGR"))
        return kPatternBGGR;
    return 0;
}

// Capture programs that store rows bottom-up say so in ROWORDER; the pattern
// they write describes the first row in the file, which is then the last
// row of the image. With an even height that flips the pattern vertically.
QString topDownPattern(const QString &pattern, const QString &rowOrder, int height)
{
    if (rowOrder != QLatin1String("BOTTOM-UP") || height % 2 != 0)
        return pattern;
    if (pattern == QLatin1String("RGGB"))
        return QStringLiteral("GBRG");
    if (pattern == QLatin1String("GBRG"))
        return QStringLiteral("RGGB");
    if (pattern == QLatin1String("GRBG"))
        return QStringLiteral("BGGR");
    if (pattern == QLatin1String("BGGR"))
        return QStringLiteral("GRBG");
    return pattern;
}

// True when the single plane is colour-filter-array data that the demosaic
// should turn into three planes.
bool detectBayer(FITSData &image, fitsfile *file)
{
    int status = 0;
    const QString pattern = keywordText(file, "BAYERPAT", status);
    if (status || (image.stats.sampleType != SampleType::UInt16 && image.stats.sampleType != SampleType::UInt8))
        return false;
    int rowStatus = 0;
    const QString rowOrder = keywordText(file, "ROWORDER", rowStatus);
    const int code = patternCode(topDownPattern(pattern, rowOrder, image.stats.height));
    if (code == 0)
        return false;
    image.bayer.pattern = code;
    // One status through both offsets: without XBAYROFF, YBAYROFF is not read.
    int offset = 0;
    readIntegerKey(file, "XBAYROFF", offset, status);
    if (status == 0)
        image.bayer.offsetX = offset;
    readIntegerKey(file, "YBAYROFF", offset, status);
    if (status == 0)
        image.bayer.offsetY = offset;

    if (image.bayer.offsetX == 1) {
        static const int mirrored[] = {kPatternGRBG, kPatternBGGR, kPatternRGGB, kPatternGBRG};
        image.bayer.pattern = mirrored[image.bayer.pattern - kPatternRGGB];
        image.bayer.offsetX = 0;
    } else if (image.bayer.offsetX != 0) {
        return false;
    }
    if (image.bayer.offsetY != 0 && image.bayer.offsetY != 1)
        return false;
    image.hasDebayer = true;
    return true;
}

// The header of the current HDU as records; a tile-compressed image's as
// the image it holds. False after CFITSIO's report on standard error.
bool headerRecordsOf(fitsfile *file, QList<HeaderRecord> &records)
{
    int status = 0;
    char *header = nullptr;
    int cardCount = 0;
    fitsHeaderText(file, 0, &header, &cardCount, &status);
    if (status)
        fits_report_error(stderr, status);
    else
        records = parseHeaderCards(header, cardCount);
    if (header) {
        int freeStatus = 0;
        fits_free_memory(header, &freeStatus);
    }
    return status == 0;
}

// A compressed image's checksums are the file's own cards: the original
// image's where the compression kept them (CFITSIO turns ZHECKSUM and
// ZDATASUM back into them), else those of the compressed HDU. Never sums
// computed here, which would differ from run to run with the time stamp
// CFITSIO writes beside them.
void keepStoredChecksums(fitsfile *file, QList<HeaderRecord> &records)
{
    const auto isChecksum = [](const HeaderRecord &record) {
        return record.key == QLatin1String("CHECKSUM") || record.key == QLatin1String("DATASUM");
    };
    int status = 0;
    if (!fits_is_compressed_image(file, &status) ||
        std::any_of(records.cbegin(), records.cend(), isChecksum))
        return;
    char *header = nullptr;
    int cardCount = 0;
    fits_hdr2str(file, 0, nullptr, 0, &header, &cardCount, &status);
    if (status == 0) {
        for (const HeaderRecord &record : parseHeaderCards(header, cardCount)) {
            if (isChecksum(record))
                records.append(record);
        }
    }
    if (header) {
        int freeStatus = 0;
        fits_free_memory(header, &freeStatus);
    }
}

// Header records of the current HDU and the observation time they give.
void readHeaderRecords(FITSData &data, fitsfile *file)
{
    if (headerRecordsOf(file, data.headerRecords))
        keepStoredChecksums(file, data.headerRecords);

    QVariant date;
    if (data.findRecordValue(QStringLiteral("DATE-OBS"), date))
        data.observationTime = date.toDateTime();
}

} // namespace

bool FITSData::readFits(const QByteArray &bytes, bool unpack)
{
    // A failed load leaves nothing open. The memory file must be closed
    // before its buffer goes: closing flushes into it.
    auto fail = [this](const QString &reason) {
        if (loadError.isEmpty())
            loadError = reason;
        fitsHandle.reset();
        releaseMemoryFile();
        return false;
    };
    const ErrorMessageMark mark;
    loadError.clear();
    if (extension.contains(QLatin1String(".fz")))
        unpack = true;

    fitsHandle.reset();
    releaseMemoryFile();
    int status = 0;
    // Bytes of the file that hold what its header declares. CFITSIO's own
    // idea of a memory file's size comes from the header, not the buffer.
    int64_t available = 0;
    if (unpack) {
        if (!openCompressed(bytes) || !fitsHandle)
            return fail(QStringLiteral("cannot unpack the compressed FITS data"));
        available = fitsFileSize(fitsHandle.get());
        if (memoryFile)
            available = std::min<int64_t>(available, int64_t(memoryFileSize));
    } else if (bytes.isEmpty()) {
        fitsfile *file = nullptr;
        const QByteArray name = QFile::encodeName(filename);
        fits_open_diskfile(&file, name.constData(), READONLY, &status);
        fitsHandle.reset(file);
        stats.size = QFile(filename).size();
        if (status)
            return fail(fitsStatusText(status));
        available = fitsFileSize(fitsHandle.get());
    } else {
        // CFITSIO reads a memory file through the addresses of its buffer
        // pointer and size for as long as it is open, so the object keeps
        // its own copy rather than the caller's, padded to whole blocks so
        // that no record read can leave it.
        const size_t padded = size_t((bytes.size() + kFitsBlock - 1) / kFitsBlock * kFitsBlock);
        memoryFile = std::calloc(padded, 1);
        if (!memoryFile)
            return fail(QStringLiteral("cannot allocate %1 bytes").arg(padded));
        std::memcpy(memoryFile, bytes.constData(), size_t(bytes.size()));
        memoryFileSize = padded;
        available = bytes.size();
        fitsfile *file = nullptr;
        const QByteArray name = QFile::encodeName(filename);
        fits_open_memfile(&file, name.constData(), READONLY, &memoryFile, &memoryFileSize, 0, fitsMemoryFileResize,
                          &status);
        fitsHandle.reset(file);
        if (status)
            return fail(memoryFileStatusText(status));
        stats.size = bytes.size();
    }

    fitsfile *file = fitsHandle.get();
    ImageHdu hdu;
    int hduType = 0;
    fits_movabs_hdu(file, 1, &hduType, &status);
    readImageParameters(file, hdu, status);
    const bool compressed = fits_is_compressed_image(file, &status);
    if (status)
        return fail(fitsStatusText(status));
    bitpix = hdu.bitpix;
    stats.dimensions = hdu.naxis;

    if ((compressed || hdu.naxis < 1) && !unpack) {
        // Tile-compressed data and images in extensions are read from an
        // uncompressed copy in memory; a load does this at most once.
        resetForLoad(filename);
        return readFits(bytes, true);
    }
    if (hdu.naxis < 2 && unpack) {
        if (!moveToFirstImage(file, hdu, true, status))
            return fail(status ? fitsStatusText(status) : QStringLiteral("no image HDU with two or more axes"));
        bitpix = hdu.bitpix;
        stats.dimensions = hdu.naxis;
    }
    if (hdu.naxis < 2)
        return fail(QStringLiteral("not an image (NAXIS %1)").arg(hdu.naxis));

    SampleFormat format;
    if (!sampleFormatOf(hdu.bitpix, format))
        return fail(QStringLiteral("unsupported BITPIX %1").arg(hdu.bitpix));
    // A compressed image's tiles were placed within the file when it was
    // opened; its declared size is the claim that was checked then.
    const bool tiled = unpack && fits_is_compressed_image(file, &status);
    const QString violation = limitViolation(file, hdu, tiled ? INT64_MAX : available, status);
    if (!violation.isEmpty())
        return fail(violation);

    // A cube of three planes is colour; any other third axis is read as its
    // first plane, a grey image, since the model holds at most three.
    const LONGLONG naxis3 = hdu.naxis >= 3 ? hdu.axes[2] : 1;
    stats.sampleType = format.sampleType;
    stats.bytesPerSample = format.bytesPerSample;
    bitpix = format.bitpix;
    stats.width = uint16_t(hdu.axes[0]);
    stats.height = uint16_t(hdu.axes[1]);
    stats.samplesPerChannel = uint32_t(stats.width) * stats.height;
    stats.channels = naxis3 == 3 ? 3 : 1;
    roiPixels.reset();

    if (headerOnly) {
        // Everything the header says, after the same checks as a full load,
        // so that a file gets the same records either way.
        readHeaderRecords(*this, file);
        return true;
    }

    if (!readSamples(*this, file, hdu.bitpix, format, status)) {
        if (status != NUM_OVERFLOW)
            return fail(loadError);
        status = 0;
        loadError.clear();
        if (!readSamples(*this, file, hdu.bitpix, overflowFallback(format), status))
            return fail(loadError);
    }

    readHeaderRecords(*this, file);

    // Demosaic, statistics and world coordinates follow in the load's
    // finishing (load/), told by the flag that `pixels` is a Bayer plane.
    if (naxis3 == 1 && stats.channels == 1 && detectBayer(*this, file)) {
        bayerPlaneRead = true;
        if (inTempDir && scratchFile.open()) {
            scratchFile.write(bytes);
            scratchFile.close();
            filename = scratchFile.fileName();
        }
    }
    return true;
}
