#include "image/fits_data.h"
#include "image/limits.h"
#include "image/sample_memory.h"
#include "xisf/xisf_reader.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <memory>

namespace {

// Capture and processing programs copy FITS string values into XISF with
// their quotes, e.g. 'M 31    '. Read them as FITS would: quotes and the
// blanks padding the text inside them go, '' stands for one quote.
QString keywordValue(const std::string &raw)
{
    const QString value = QString::fromStdString(raw);
    const QString trimmed = value.trimmed();
    if (trimmed.size() < 2 || !trimmed.startsWith(QLatin1Char('\'')) || !trimmed.endsWith(QLatin1Char('\'')))
        return value;
    QString inner = trimmed.mid(1, trimmed.size() - 2);
    inner.replace(QLatin1String("''"), QLatin1String("'"));
    int end = inner.size();
    while (end > 0 && inner.at(end - 1) == QLatin1Char(' '))
        --end;
    inner.truncate(end);
    return inner;
}

// Sample type and bytes per sample of the XISF formats we can hold.
bool sampleTypeOf(LibXISF::Image::SampleFormat format, SampleType &type, int32_t &bytes)
{
    switch (format) {
    case LibXISF::Image::UInt8:
        type = SampleType::UInt8;
        bytes = 1;
        return true;
    case LibXISF::Image::UInt16:
        type = SampleType::UInt16;
        bytes = 2;
        return true;
    case LibXISF::Image::UInt32:
        type = SampleType::UInt32;
        bytes = 4;
        return true;
    case LibXISF::Image::Float32:
        type = SampleType::Float;
        bytes = 4;
        return true;
    default:
        return false;
    }
}

// Planes we keep: three for colour, one otherwise. A two-channel image, or
// one with extra (alpha, mask) channels, shows its first plane as grey or
// its first three as colour; more would not fit the three-entry statistics.
uint8_t keptChannels(const LibXISF::Image &image)
{
    const uint32_t stored = image.channelCount();
    if (stored == 3 || (stored > 3 && image.colorSpace() == LibXISF::Image::RGB))
        return 3;
    return 1;
}

// Copies the first `channels` planes of `image` into `out`, taking
// interleaved (Normal) storage apart so the colours land in their planes.
void copyPlanes(const LibXISF::Image &image, uint8_t channels, size_t planeSamples, size_t sampleBytes, uint8_t *out)
{
    const auto *in = static_cast<const uint8_t *>(image.imageData());
    if (image.pixelStorage() == LibXISF::Image::Planar || image.channelCount() == 1) {
        std::memcpy(out, in, channels * planeSamples * sampleBytes);
        return;
    }
    const size_t stride = image.channelCount() * sampleBytes;
    for (uint8_t c = 0; c < channels; ++c) {
        const uint8_t *src = in + c * sampleBytes;
        uint8_t *dst = out + c * planeSamples * sampleBytes;
        for (size_t i = 0; i < planeSamples; ++i, src += stride, dst += sampleBytes)
            std::memcpy(dst, src, sampleBytes);
    }
}

} // namespace

bool FITSData::readXisf(const QByteArray &bytes)
{
    pixels.reset();
    roiPixels.reset();
    try {
        LibXISF::XISFReader reader;
        if (!bytes.isEmpty()) {
            LibXISF::ByteArray data(size_t(bytes.size()));
            std::memcpy(data.data(), bytes.constData(), size_t(bytes.size()));
            reader.open(data);
        } else {
            reader.open(QFile::encodeName(filename).toStdString());
        }
        if (reader.imagesCount() == 0) {
            loadError = QStringLiteral("the XISF file holds no image");
            return false;
        }

        // Geometry first, so that nothing is decoded for an image we cannot hold.
        const LibXISF::Image &header = reader.getImage(0, false);
        SampleType sampleType = SampleType::None;
        int32_t sampleBytes = 0;
        if (!sampleTypeOf(header.sampleFormat(), sampleType, sampleBytes)) {
            loadError = QStringLiteral("unsupported XISF sample format %1").arg(int(header.sampleFormat()));
            return false;
        }
        const uint8_t channels = keptChannels(header);
        if (header.width() == 0 || header.height() == 0 || header.width() > kMaxAxisLength ||
            header.height() > kMaxAxisLength || header.channelCount() == 0) {
            loadError = QStringLiteral("XISF image geometry %1x%2x%3 is out of range")
                            .arg(header.width())
                            .arg(header.height())
                            .arg(header.channelCount());
            return false;
        }
        const uint64_t planeSamples = header.width() * header.height();
        const uint64_t keptBytes = planeSamples * channels * uint64_t(sampleBytes);
        if (keptBytes > kMaxImageBytes) {
            loadError = QStringLiteral("XISF image is larger than %1 bytes").arg(kMaxImageBytes);
            return false;
        }

        // A header-only load stops short of decoding the samples. Samples
        // kept as they are stored are decoded straight into the buffer we
        // keep; the others are rearranged from the reader's copy.
        std::unique_ptr<uint8_t[]> samples;
        if (!headerOnly) {
            samples = newSampleBuffer(size_t(keptBytes));
            if (!samples) {
                loadError = QStringLiteral("out of memory for %1 bytes of samples").arg(keptBytes);
                return false;
            }
            const bool asStored = header.channelCount() == channels &&
                                  (channels == 1 || header.pixelStorage() == LibXISF::Image::Planar);
            if (asStored) {
                reader.readImageData(0, samples.get(), size_t(keptBytes));
            } else {
                const LibXISF::Image &image = reader.getImage(0, true);
                if (image.imageDataSize() != planeSamples * image.channelCount() * uint64_t(sampleBytes)) {
                    loadError = QStringLiteral("XISF image data does not match its geometry");
                    return false;
                }
                copyPlanes(image, channels, size_t(planeSamples), size_t(sampleBytes), samples.get());
            }
        }

        stats.sampleType = sampleType;
        stats.bytesPerSample = sampleBytes;
        stats.width = uint16_t(header.width());
        stats.height = uint16_t(header.height());
        stats.channels = channels;
        stats.samplesPerChannel = uint32_t(planeSamples);
        stats.size = bytes.isEmpty() ? QFileInfo(filename).size() : bytes.size();

        headerRecords.clear();
        for (const LibXISF::FITSKeyword &keyword : header.fitsKeywords()) {
            headerRecords.append({QString::fromStdString(keyword.name), keywordValue(keyword.value),
                                  QString::fromStdString(keyword.comment)});
        }
        QVariant dateObs;
        if (findRecordValue(QStringLiteral("DATE-OBS"), dateObs))
            observationTime = dateObs.toDateTime();
        if (headerOnly)
            return true;

        pixelBytes = uint32_t(keptBytes);
        pixels = std::move(samples);
    } catch (const LibXISF::Error &error) {
        loadError = QString::fromStdString(error.what());
        return false;
    }

    return true;
}
