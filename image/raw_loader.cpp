#include "image/fits_data.h"
#include "image/limits.h"
#include "image/raw_guards.h"

#include <QFile>
#include <QFileInfo>

#include <libraw/libraw.h>

#include <cstring>
#include <memory>
#include <new>

namespace {

// LibRaw refuses to buffer files larger than this in memory.
constexpr INT64 kMaxBufferedRawBytes = 262144000;

using RawImagePtr = std::unique_ptr<libraw_processed_image_t, decltype(&LibRaw::dcraw_clear_mem)>;

bool withinImageModel(uint64_t width, uint64_t height, uint64_t channels)
{
    return width > 0 && height > 0 && width <= kMaxAxisLength && height <= kMaxAxisLength &&
           width * height * channels <= kMaxImageBytes;
}

} // namespace

bool FITSData::readRaw(const QByteArray &bytes)
{
    // Declared first: the stream outlives LibRaw's use of it.
    std::unique_ptr<RawByteStream> stream;
    // Processing parameters and LibRaw's memory limits stay at the library's defaults.
    auto raw = std::make_unique<LibRaw>(0);
    auto fail = [&](const QString &reason) {
        raw->recycle();
        loadError = reason;
        return false;
    };

    int status = LIBRAW_SUCCESS;
    if (!bytes.isEmpty()) {
        status = openRawBytes(*raw, bytes, stream);
        stats.size = bytes.size();
    } else {
        status = raw->open_file(QFile::encodeName(filename).constData(), kMaxBufferedRawBytes);
        stats.size = QFileInfo(filename).size();
    }
    if (status != LIBRAW_SUCCESS)
        return fail(QStringLiteral("cannot open RAW file: %1").arg(libraw_strerror(status)));

    // The developed picture is as large as the sensor area (turned, perhaps):
    // refuse what the image model cannot hold before anything is decoded.
    const libraw_image_sizes_t &sizes = raw->imgdata.sizes;
    if (!withinImageModel(sizes.width, sizes.height, 3))
        return fail(QStringLiteral("RAW image of %1x%2 pixels is out of range").arg(sizes.width).arg(sizes.height));

    status = raw->unpack();
    if (status != LIBRAW_SUCCESS)
        return fail(QStringLiteral("cannot unpack RAW data: %1").arg(libraw_strerror(status)));
    status = raw->dcraw_process();
    if (status != LIBRAW_SUCCESS)
        return fail(QStringLiteral("cannot develop RAW data: %1").arg(libraw_strerror(status)));
    int error = LIBRAW_SUCCESS;
    RawImagePtr developed(raw->dcraw_make_mem_image(&error), &LibRaw::dcraw_clear_mem);
    if (error != LIBRAW_SUCCESS || !developed)
        return fail(QStringLiteral("cannot develop RAW image: %1").arg(libraw_strerror(error)));
    raw->recycle();  // the developed image stays valid

    const libraw_processed_image_t &image = *developed;
    const uint64_t planeSamples = uint64_t(image.width) * image.height;
    if (image.type != LIBRAW_IMAGE_BITMAP || image.bits != 8 || (image.colors != 1 && image.colors != 3) ||
        !withinImageModel(image.width, image.height, uint64_t(image.colors)) ||
        image.data_size < planeSamples * uint64_t(image.colors))
        return fail(QStringLiteral("developed RAW image has an unexpected layout"));

    stats.sampleType = kSampleUInt8;
    stats.bytesPerSample = 1;
    stats.width = uint16_t(image.width);
    stats.height = uint16_t(image.height);
    stats.channels = uint8_t(image.colors);
    stats.samplesPerChannel = uint32_t(planeSamples);

    pixels.reset();
    roiPixels.reset();
    pixelBytes = uint32_t(planeSamples * uint64_t(image.colors));
    pixels.reset(new (std::nothrow) uint8_t[pixelBytes]);
    if (!pixels)
        return fail(QStringLiteral("out of memory for %1 bytes of samples").arg(pixelBytes));

    const uint8_t *src = image.data;  // a trailing array that holds data_size bytes
    if (image.colors == 1) {
        std::memcpy(pixels.get(), src, pixelBytes);
    } else {
        uint8_t *red = pixels.get();
        uint8_t *green = red + planeSamples;
        uint8_t *blue = green + planeSamples;
        for (uint64_t i = 0; i < planeSamples; ++i, src += 3) {
            red[i] = src[0];
            green[i] = src[1];
            blue[i] = src[2];
        }
    }
    developed.reset();

    computeStatistics(false);
    return true;
}
