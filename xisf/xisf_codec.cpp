#include "xisf/xisf_codec.h"

#include "xisf/xisf_reader.h"

#include <libdeflate.h>
#include <lz4.h>
#include <zstd.h>
#include <zstd_errors.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace LibXISF {
namespace detail {

namespace {

std::string sizeText(size_t n)
{
    return std::to_string(n) + " bytes";
}

// libdeflate decodes a zlib stream of known decoded size in one call, about
// twice as fast as zlib's inflate. It is bounded by design: it writes only
// into out[0, outSize) and reads only in[0, inSize), reporting a stream that
// needs more room (INSUFFICIENT_SPACE), ends early (SHORT_OUTPUT, or a
// shorter actual size) or is damaged (BAD_DATA) instead of going past them;
// its work is linear in the bytes it reads and writes, so no input makes it
// spin. It also checks the Adler-32 of the stream.
void inflateZlib(const char *in, size_t inSize, char *out, size_t outSize)
{
    const std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> decoder(
        libdeflate_alloc_decompressor(), &libdeflate_free_decompressor);
    if (!decoder)
        throw Error("zlib ran out of memory");
    size_t inUsed = 0, outWritten = 0;
    const libdeflate_result result =
        libdeflate_zlib_decompress_ex(decoder.get(), in, inSize, out, outSize, &inUsed, &outWritten);
    switch (result) {
    case LIBDEFLATE_SUCCESS:
        if (outWritten != outSize)
            throw Error("zlib block decodes to fewer than its declared " + sizeText(outSize));
        if (inUsed != inSize)
            throw Error("zlib block has data after the end of its stream");
        return;
    case LIBDEFLATE_INSUFFICIENT_SPACE:
        throw Error("zlib block expands beyond its declared " + sizeText(outSize));
    case LIBDEFLATE_SHORT_OUTPUT:
        throw Error("zlib block decodes to fewer than its declared " + sizeText(outSize));
    case LIBDEFLATE_BAD_DATA:
        break;
    }
    // A stream cut short reads as damaged to libdeflate.
    throw Error("zlib block is corrupt or truncated");
}

void decodeLz4(const char *in, size_t inSize, char *out, size_t outSize)
{
    // LZ4 blocks are limited to int sizes; larger data uses sub-blocks.
    if (inSize > size_t(LZ4_MAX_INPUT_SIZE) || outSize > size_t(INT_MAX))
        throw Error("lz4 block is larger than lz4 allows");
    const int n = LZ4_decompress_safe(in, out, int(inSize), int(outSize));
    if (n < 0)
        throw Error("lz4 block is corrupt or expands beyond its declared " + sizeText(outSize));
    if (size_t(n) != outSize)
        throw Error("lz4 block decodes to " + sizeText(size_t(n)) + ", " + sizeText(outSize) + " declared");
}

void decodeZstd(const char *in, size_t inSize, char *out, size_t outSize)
{
    const size_t n = ZSTD_decompress(out, outSize, in, inSize);
    if (ZSTD_isError(n)) {
        if (ZSTD_getErrorCode(n) == ZSTD_error_dstSize_tooSmall)
            throw Error("zstd block expands beyond its declared " + sizeText(outSize));
        throw Error(std::string("zstd block is corrupt: ") + ZSTD_getErrorName(n));
    }
    if (n != outSize)
        throw Error("zstd block decodes to " + sizeText(n) + ", " + sizeText(outSize) + " declared");
}

} // namespace

const char *codecName(Codec codec)
{
    switch (codec) {
    case Codec::Zlib:
        return "zlib";
    case Codec::Lz4:
        return "lz4";
    case Codec::Zstd:
        return "zstd";
    case Codec::None:
        break;
    }
    return "none";
}

void checkExpansion(Codec codec, const char *in, size_t inSize, size_t outSize)
{
    // Best ratios each format can reach: deflate about 1032:1, an LZ4 block
    // about 255:1 (one byte per 255 bytes of match), Zstandard 32768:1 (a
    // 4-byte RLE block of 128 KiB). Small blocks get some slack for headers.
    uint64_t ratio = 1;
    switch (codec) {
    case Codec::Zlib:
        ratio = 1032;
        break;
    case Codec::Lz4:
        ratio = 256;
        break;
    case Codec::Zstd:
        ratio = 32768;
        break;
    case Codec::None:
        break;
    }
    if (uint64_t(outSize) > uint64_t(inSize) * ratio + 1024)
        throw Error(std::string(codecName(codec)) + " block of " + sizeText(inSize) + " cannot expand to " +
                    sizeText(outSize));
    if (codec == Codec::Zstd) {
        // The frame header usually states its size: a lie shows before decoding.
        const unsigned long long frame = ZSTD_getFrameContentSize(in, inSize);
        if (frame == ZSTD_CONTENTSIZE_ERROR)
            throw Error("zstd block does not start with a zstd frame");
        if (frame != ZSTD_CONTENTSIZE_UNKNOWN && frame > outSize)
            throw Error("zstd block expands beyond its declared " + sizeText(outSize));
    }
}

void decompress(Codec codec, const char *in, size_t inSize, char *out, size_t outSize)
{
    switch (codec) {
    case Codec::Zlib:
        inflateZlib(in, inSize, out, outSize);
        return;
    case Codec::Lz4:
        decodeLz4(in, inSize, out, outSize);
        return;
    case Codec::Zstd:
        decodeZstd(in, inSize, out, outSize);
        return;
    case Codec::None:
        break;
    }
    if (inSize != outSize)
        throw Error("block holds " + sizeText(inSize) + ", " + sizeText(outSize) + " declared");
    if (outSize > 0)
        std::memcpy(out, in, outSize);
}

namespace {

// The planes of a shuffled block during in-place unshuffling: the first
// where the decoder left it, the others (each `items` bytes long) set aside.
struct Planes {
    const char *first;
    const char *rest;
    size_t items;
    const char *plane(size_t byte) const { return byte == 0 ? first : rest + (byte - 1) * items; }
};

// Writes each item whole, gathering its bytes from the `N` byte planes:
// sequential writes and N sequential reads keep the caches busy, where
// scattering one plane at a time would touch every output line N times.
template <size_t N>
void unshuffleItems(const Planes &in, char *out, size_t begin, size_t end)
{
    const char *plane[N];
    for (size_t byte = 0; byte < N; ++byte)
        plane[byte] = in.plane(byte);
    for (size_t i = begin; i < end; ++i)
        for (size_t byte = 0; byte < N; ++byte)
            out[i * N + byte] = plane[byte][i];
}

#ifdef __SSE2__
// The two common item sizes interleave 16 items per step; GCC leaves the
// loop above scalar at -O2.
template <>
void unshuffleItems<2>(const Planes &in, char *out, size_t begin, size_t end)
{
    const char *p0 = in.plane(0), *p1 = in.plane(1);
    size_t i = begin;
    for (; i + 16 <= end; i += 16) {
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p0 + i));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p1 + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i), _mm_unpacklo_epi8(b0, b1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i + 16), _mm_unpackhi_epi8(b0, b1));
    }
    for (; i < end; ++i) {
        out[2 * i] = p0[i];
        out[2 * i + 1] = p1[i];
    }
}

template <>
void unshuffleItems<4>(const Planes &in, char *out, size_t begin, size_t end)
{
    const char *p0 = in.plane(0), *p1 = in.plane(1), *p2 = in.plane(2), *p3 = in.plane(3);
    size_t i = begin;
    for (; i + 16 <= end; i += 16) {
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p0 + i));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p1 + i));
        const __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p2 + i));
        const __m128i b3 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p3 + i));
        const __m128i low01 = _mm_unpacklo_epi8(b0, b1), high01 = _mm_unpackhi_epi8(b0, b1);
        const __m128i low23 = _mm_unpacklo_epi8(b2, b3), high23 = _mm_unpackhi_epi8(b2, b3);
        auto *o = reinterpret_cast<__m128i *>(out + 4 * i);
        _mm_storeu_si128(o, _mm_unpacklo_epi16(low01, low23));
        _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(low01, low23));
        _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(high01, high23));
        _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(high01, high23));
    }
    for (; i < end; ++i) {
        out[4 * i] = p0[i];
        out[4 * i + 1] = p1[i];
        out[4 * i + 2] = p2[i];
        out[4 * i + 3] = p3[i];
    }
}
#endif

} // namespace

size_t shuffleAsideBytes(size_t size, size_t itemSize)
{
    return itemSize > 1 ? (itemSize - 1) * (size / itemSize) : 0;
}

void setShuffledPlanesAside(const char *data, size_t size, size_t itemSize, char *aside)
{
    const size_t bytes = shuffleAsideBytes(size, itemSize);
    if (bytes > 0)
        std::memcpy(aside, data + size / itemSize, bytes);
}

size_t unshuffleStageBegin(size_t end, size_t itemSize)
{
    // Item i is written at [i * itemSize, (i + 1) * itemSize), over first
    // bytes of items from i * itemSize on: a stage may start at `begin` when
    // begin * itemSize >= end, so that it overwrites no first byte it has
    // yet to read. Item 0 alone rewrites its own first byte with itself.
    const size_t begin = (end + itemSize - 1) / itemSize;
    return begin < end ? begin : 0;
}

void unshuffleStage(char *data, const char *aside, size_t size, size_t itemSize, size_t begin, size_t end)
{
    const size_t items = itemSize > 1 ? size / itemSize : 0;
    end = std::min(end, items);
    begin = std::min(begin, end);
    const Planes in{data, aside, items};
    switch (itemSize) {
    case 2:
        unshuffleItems<2>(in, data, begin, end);
        break;
    case 4:
        unshuffleItems<4>(in, data, begin, end);
        break;
    case 8:
        unshuffleItems<8>(in, data, begin, end);
        break;
    case 16:
        unshuffleItems<16>(in, data, begin, end);
        break;
    default:
        for (size_t i = begin; i < end; ++i)
            for (size_t byte = 0; byte < itemSize; ++byte)
                data[i * itemSize + byte] = in.plane(byte)[i];
        break;
    }
}

void swapByteOrder(char *data, size_t size, size_t wordSize)
{
    if (wordSize <= 1)
        return;
    const size_t words = size / wordSize;
    for (size_t i = 0; i < words; ++i)
        std::reverse(data + i * wordSize, data + (i + 1) * wordSize);
}

} // namespace detail
} // namespace LibXISF
