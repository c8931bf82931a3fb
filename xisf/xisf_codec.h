#pragma once

// Decoding steps of an XISF data block: decompression, byte unshuffling and
// byte-order swapping. Every function throws LibXISF::Error on bad data.

#include <cstddef>

namespace LibXISF {
namespace detail {

enum class Codec { None, Zlib, Lz4, Zstd };

// Decompresses `in` into exactly `outSize` bytes at `out`; a stream that
// decodes to fewer or more bytes is an error, and nothing beyond `out` is
// ever written or allocated.
void decompress(Codec codec, const char *in, size_t inSize, char *out, size_t outSize);

// Throws unless a block of `inSize` compressed bytes can decode to
// `outSize` bytes at all, so that a tiny block claiming gigabytes is
// refused before the output is allocated.
void checkExpansion(Codec codec, const char *in, size_t inSize, size_t outSize);

// Undoes XISF byte shuffling: all first bytes of the items, then all second
// bytes, and so on, with the bytes after the last whole item left in place.
void unshuffle(const char *in, char *out, size_t size, size_t itemSize);
// The same for items [begin, end) only (the trailing bytes go with the
// range that reaches the last item), so that parts can run in parallel.
void unshuffle(const char *in, char *out, size_t size, size_t itemSize, size_t begin, size_t end);

// Reverses the bytes of each `wordSize`-byte word (big-endian data).
void swapByteOrder(char *data, size_t size, size_t wordSize);

// Name of a codec as written in the compression attribute.
const char *codecName(Codec codec);

} // namespace detail
} // namespace LibXISF
