#pragma once

// Reader for monolithic XISF 1.0 files. It offers the part of LibXISF's
// interface that the image loader uses (same names, same sample-format
// numbering, errors as exceptions), so that a packaged LibXISF can take its
// place. It depends on Qt Core and Qt Concurrent, libdeflate, liblz4 and
// libzstd only.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace LibXISF {

namespace detail {
struct ImageAccess;
}

// Every failure of the reader: unreadable file, bad structure, bad data.
class Error : public std::exception
{
public:
    explicit Error(std::string message) : m_message(std::move(message)) {}
    const char *what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

// Contiguous bytes. Copies share them until one is written through data(),
// so handing a file held in memory to the reader costs no copy. Like any
// implicitly shared value, one ByteArray is not written from two threads.
class ByteArray
{
public:
    ByteArray() = default;
    // `size` bytes of unspecified contents.
    explicit ByteArray(size_t size);
    ByteArray(const char *data, size_t size);

    size_t size() const { return m_size; }
    // Writable bytes; detaches from other copies first.
    char *data();
    const char *data() const { return m_data.get(); }
    const char *constData() const { return m_data.get(); }

private:
    std::shared_ptr<char[]> m_data;
    size_t m_size = 0;
};

// One FITSKeyword element, texts exactly as written in the header.
struct FITSKeyword {
    std::string name;
    std::string value;
    std::string comment;
};

// One Image element: its description and, once read, its samples in the
// machine's byte order and in the image's pixel storage.
class Image
{
public:
    // Numbered as in LibXISF.
    enum SampleFormat { UInt8 = 0, UInt16, UInt32, UInt64, Float32, Float64, Complex32, Complex64 };
    // Planar: one plane per channel. Normal: channel samples interleaved per pixel.
    enum PixelStorage { Planar = 0, Normal };
    enum ColorSpace { Gray = 0, RGB, CIELab };

    uint64_t width() const { return m_width; }
    uint64_t height() const { return m_height; }
    uint32_t channelCount() const { return m_channelCount; }
    SampleFormat sampleFormat() const { return m_sampleFormat; }
    PixelStorage pixelStorage() const { return m_pixelStorage; }
    ColorSpace colorSpace() const { return m_colorSpace; }
    const std::vector<FITSKeyword> &fitsKeywords() const { return m_fitsKeywords; }

    // Sample bytes held; 0 until the pixels have been read.
    size_t imageDataSize() const { return m_data.size(); }
    const void *imageData() const { return m_data.data(); }
    template <typename T>
    const T *imageData() const
    {
        return reinterpret_cast<const T *>(m_data.data());
    }

    // Rearranges the samples held into the given storage.
    void convertPixelStorageTo(PixelStorage storage);

    // Bytes of one sample of the given format.
    static size_t sampleFormatSize(SampleFormat format);

private:
    friend struct detail::ImageAccess;

    uint64_t m_width = 0;
    uint64_t m_height = 0;
    uint32_t m_channelCount = 0;
    SampleFormat m_sampleFormat = UInt8;
    PixelStorage m_pixelStorage = Planar;
    ColorSpace m_colorSpace = Gray;
    std::vector<FITSKeyword> m_fitsKeywords;
    ByteArray m_data;
};

// Opens an XISF file (from disk or from memory), lists its images and reads
// their samples on demand.
class XISFReader
{
public:
    XISFReader();
    ~XISFReader();
    XISFReader(const XISFReader &) = delete;
    XISFReader &operator=(const XISFReader &) = delete;

    // Reads and checks the file header; throws Error when it is not a
    // readable XISF 1.0 file.
    void open(const std::string &path);
    void open(const ByteArray &data);
    void close();

    uint32_t imagesCount() const;
    // Image `index`; with readPixels its samples are decoded (once).
    const Image &getImage(uint32_t index, bool readPixels = true);

    // Not in LibXISF: sample bytes of image `index` (width x height x
    // channels x sample size), known before anything is decoded.
    size_t imageDataSize(uint32_t index) const;
    // Not in LibXISF: decodes the samples of image `index` as they are
    // stored, straight into the caller's `size` bytes at `out` (`size` must
    // equal imageDataSize), keeping no copy. A loader fills its own buffer
    // without the copy that getImage's would need.
    void readImageData(uint32_t index, void *out, size_t size);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace LibXISF
