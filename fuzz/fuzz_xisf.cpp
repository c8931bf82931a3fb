// libFuzzer target: the XISF reader on a file held in memory, every image
// opened and decoded (held by the reader and into a buffer of ours), pixel
// storage converted both ways.

#include "xisf/xisf_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Inputs above 16 MiB add nothing a smaller one cannot reach.
constexpr size_t kMaxInputBytes = 16u << 20;

// Images the reader accepts may legitimately need up to 4 GiB; decoding
// only those below this keeps the harness under the fuzzer's memory limit.
constexpr uint64_t kMaxDecodedBytes = 64u << 20;

constexpr uint32_t kMaxImages = 8;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > kMaxInputBytes)
        return 0;
    try {
        LibXISF::XISFReader reader;
        reader.open(LibXISF::ByteArray(reinterpret_cast<const char *>(data), size));
        for (uint32_t i = 0; i < reader.imagesCount() && i < kMaxImages; ++i) {
            const LibXISF::Image &info = reader.getImage(i, false);
            // The reader keeps each axis within 16 bits and the total below 4 GiB.
            const uint64_t bytes = info.width() * info.height() * info.channelCount() *
                                   LibXISF::Image::sampleFormatSize(info.sampleFormat());
            if (bytes > kMaxDecodedBytes)
                continue;
            LibXISF::Image image = reader.getImage(i, true);
            if (image.imageDataSize() != bytes || reader.imageDataSize(i) != bytes)
                __builtin_trap();  // the reader promised this size
            // Decoding into our own buffer must give the same samples.
            std::vector<char> direct(static_cast<size_t>(bytes));
            reader.readImageData(i, direct.data(), direct.size());
            if (bytes > 0 && std::memcmp(direct.data(), image.imageData(), direct.size()) != 0)
                __builtin_trap();
            const LibXISF::Image::PixelStorage stored = image.pixelStorage();
            image.convertPixelStorageTo(stored == LibXISF::Image::Planar ? LibXISF::Image::Normal
                                                                         : LibXISF::Image::Planar);
            image.convertPixelStorageTo(stored);
        }
    } catch (const LibXISF::Error &) {
        // Rejected input: the expected outcome for most of them.
    }
    return 0;
}
