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

// Undoes XISF byte shuffling in place: all first bytes of the items, then
// all second bytes, and so on, become whole items again, with the bytes after
// the last whole item left where they are. The planes after the first are
// copied to `aside` (shuffleAsideBytes() long), so that the block needs no
// second buffer of its size; then the stages run from the last item down,
// each [unshuffleStageBegin(end), end) after the one that began at `end`,
// until one begins at 0. Within a stage, ranges of items may run in parallel.
size_t shuffleAsideBytes(size_t size, size_t itemSize);
void setShuffledPlanesAside(const char *data, size_t size, size_t itemSize, char *aside);
size_t unshuffleStageBegin(size_t end, size_t itemSize);
void unshuffleStage(char *data, const char *aside, size_t size, size_t itemSize, size_t begin, size_t end);

// Reverses the bytes of each `wordSize`-byte word (big-endian data).
void swapByteOrder(char *data, size_t size, size_t wordSize);

// Name of a codec as written in the compression attribute.
const char *codecName(Codec codec);

} // namespace detail
} // namespace LibXISF
