#include "xisf/xisf_reader.h"

#include "xisf/run_on_pool.h"
#include "xisf/xisf_codec.h"
#include "xisf/xisf_limits.h"

#include <QByteArray>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QXmlStreamReader>

#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace LibXISF {

ByteArray::ByteArray(size_t size) : m_data(size ? new char[size] : nullptr), m_size(size) {}

ByteArray::ByteArray(const char *data, size_t size) : ByteArray(size)
{
    if (size)
        std::memcpy(m_data.get(), data, size);
}

char *ByteArray::data()
{
    if (m_data && m_data.use_count() > 1)
        *this = ByteArray(m_data.get(), m_size);
    return m_data.get();
}

size_t Image::sampleFormatSize(SampleFormat format)
{
    switch (format) {
    case UInt8:
        return 1;
    case UInt16:
        return 2;
    case UInt32:
    case Float32:
        return 4;
    case UInt64:
    case Float64:
    case Complex32:
        return 8;
    case Complex64:
        return 16;
    }
    return 0;
}

void Image::convertPixelStorageTo(PixelStorage storage)
{
    if (storage == m_pixelStorage)
        return;
    const size_t bytes = sampleFormatSize(m_sampleFormat);
    const size_t count = size_t(m_width * m_height);
    const size_t channels = m_channelCount;
    if (m_data.size() == count * channels * bytes && channels > 1) {
        ByteArray converted(m_data.size());
        const char *in = m_data.constData();
        char *out = converted.data();
        for (size_t c = 0; c < channels; ++c) {
            for (size_t i = 0; i < count; ++i) {
                const size_t planar = (c * count + i) * bytes, normal = (i * channels + c) * bytes;
                if (storage == Planar)
                    std::memcpy(out + planar, in + normal, bytes);
                else
                    std::memcpy(out + normal, in + planar, bytes);
            }
        }
        m_data = std::move(converted);
    }
    m_pixelStorage = storage;
}

namespace detail {

// Lets the header parser fill in an Image without making its fields public.
struct ImageAccess {
    static uint64_t &width(Image &i) { return i.m_width; }
    static uint64_t &height(Image &i) { return i.m_height; }
    static uint32_t &channelCount(Image &i) { return i.m_channelCount; }
    static Image::SampleFormat &sampleFormat(Image &i) { return i.m_sampleFormat; }
    static Image::PixelStorage &pixelStorage(Image &i) { return i.m_pixelStorage; }
    static Image::ColorSpace &colorSpace(Image &i) { return i.m_colorSpace; }
    static std::vector<FITSKeyword> &fitsKeywords(Image &i) { return i.m_fitsKeywords; }
    static ByteArray &data(Image &i) { return i.m_data; }
};

} // namespace detail

namespace {

using Access = detail::ImageAccess;

const QString kXisfNamespace = QStringLiteral("http://www.pixinsight.com/xisf");
constexpr char kSignature[8] = {'X', 'I', 'S', 'F', '0', '1', '0', '0'};
constexpr size_t kPreambleBytes = 16;  // signature, header length, reserved

struct SubBlock {
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
};

enum class Location { Attachment, Inline, Embedded };
enum class Encoding { Base64, Hex };

// Where the samples of one image are and how they are encoded.
struct DataBlock {
    Location location = Location::Attachment;
    uint64_t position = 0;
    uint64_t size = 0;
    Encoding encoding = Encoding::Base64;
    QByteArray text;  // inline or embedded data, whitespace removed
    detail::Codec codec = detail::Codec::None;
    uint64_t uncompressedSize = 0;
    size_t itemSize = 0;  // 0: not shuffled
    std::vector<SubBlock> subBlocks;
    bool bigEndian = false;
};

struct ImageEntry {
    Image image;
    DataBlock block;
    uint64_t dataBytes = 0;
    bool pixelsRead = false;
};

// Attribute values end up in messages; a crafted file must not make them huge.
std::string quoted(const QStringRef &text)
{
    QString s = text.left(64).toString();
    if (text.size() > 64)
        s += QStringLiteral("...");
    return "'" + s.toStdString() + "'";
}

std::string bytesText(uint64_t n)
{
    return std::to_string(n) + " bytes";
}

bool parseUInt(const QStringRef &text, uint64_t &value)
{
    if (text.isEmpty() || text.size() > 20)
        return false;
    uint64_t v = 0;
    for (QChar ch : text) {
        if (ch < QLatin1Char('0') || ch > QLatin1Char('9'))
            return false;
        const uint64_t digit = uint64_t(ch.unicode() - '0');
        if (__builtin_mul_overflow(v, uint64_t(10), &v) || __builtin_add_overflow(v, digit, &v))
            return false;
    }
    value = v;
    return true;
}

Image::SampleFormat parseSampleFormat(const QStringRef &text)
{
    static const char *const names[] = {"UInt8",   "UInt16",  "UInt32",    "UInt64",
                                        "Float32", "Float64", "Complex32", "Complex64"};
    for (int i = 0; i < 8; ++i) {
        if (text == QLatin1String(names[i]))
            return Image::SampleFormat(i);
    }
    throw Error("unsupported sample format " + quoted(text));
}

// Geometry "width:height:channels"; checked against the limits before
// anything depends on it.
void parseGeometry(const QStringRef &text, Image &image, uint64_t &dataBytes)
{
    const QVector<QStringRef> parts = text.split(QLatin1Char(':'));
    if (parts.size() != 3)
        throw Error("image geometry " + quoted(text) + " is not width:height:channels");
    uint64_t width = 0, height = 0, channels = 0;
    if (!parseUInt(parts[0], width) || !parseUInt(parts[1], height) || !parseUInt(parts[2], channels) ||
        width == 0 || height == 0 || channels == 0)
        throw Error("image geometry " + quoted(text) + " is invalid");
    if (width > kMaxImageAxis || height > kMaxImageAxis)
        throw Error("image geometry " + quoted(text) + " exceeds the limit of " + std::to_string(kMaxImageAxis) +
                    " pixels per axis");
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(width, height, &bytes) || __builtin_mul_overflow(bytes, channels, &bytes) ||
        __builtin_mul_overflow(bytes, uint64_t(Image::sampleFormatSize(Access::sampleFormat(image))), &bytes) ||
        bytes > kMaxImageBytes)
        throw Error("image geometry " + quoted(text) + " needs more than " + bytesText(kMaxImageBytes));
    Access::width(image) = width;
    Access::height(image) = height;
    Access::channelCount(image) = uint32_t(channels);
    dataBytes = bytes;
}

void parseLocation(const QStringRef &text, DataBlock &block, uint64_t fileSize)
{
    const QVector<QStringRef> parts = text.split(QLatin1Char(':'));
    if (parts[0] == QLatin1String("attachment")) {
        if (parts.size() != 3 || !parseUInt(parts[1], block.position) || !parseUInt(parts[2], block.size))
            throw Error("attachment location " + quoted(text) + " is not attachment:position:size");
        uint64_t end = 0;
        if (__builtin_add_overflow(block.position, block.size, &end) || end > fileSize)
            throw Error("attachment " + quoted(text) + " lies outside the file of " + bytesText(fileSize));
        block.location = Location::Attachment;
        return;
    }
    if (parts[0] == QLatin1String("inline") && parts.size() == 2) {
        block.location = Location::Inline;
        if (parts[1] == QLatin1String("base64"))
            block.encoding = Encoding::Base64;
        else if (parts[1] == QLatin1String("hex"))
            block.encoding = Encoding::Hex;
        else
            throw Error("unsupported inline encoding " + quoted(parts[1]));
        return;
    }
    if (text == QLatin1String("embedded")) {
        block.location = Location::Embedded;
        return;
    }
    throw Error("unsupported data location " + quoted(text));
}

// "codec:uncompressed-size" or "codec+sh:uncompressed-size:item-size".
void parseCompression(const QStringRef &text, DataBlock &block, size_t sampleSize)
{
    const QVector<QStringRef> parts = text.split(QLatin1Char(':'));
    QStringRef codec = parts[0];
    const bool shuffled = codec.endsWith(QLatin1String("+sh"));
    if (shuffled)
        codec.chop(3);
    if (codec == QLatin1String("zlib"))
        block.codec = detail::Codec::Zlib;
    else if (codec == QLatin1String("lz4") || codec == QLatin1String("lz4hc"))  // same block format
        block.codec = detail::Codec::Lz4;
    else if (codec == QLatin1String("zstd"))
        block.codec = detail::Codec::Zstd;
    else
        throw Error("unsupported compression codec " + quoted(parts[0]));

    if (parts.size() != (shuffled ? 3 : 2) || !parseUInt(parts[1], block.uncompressedSize))
        throw Error("compression " + quoted(text) + " is malformed");
    if (shuffled) {
        uint64_t itemSize = 0;
        if (!parseUInt(parts[2], itemSize))
            throw Error("compression " + quoted(text) + " is malformed");
        if (itemSize != sampleSize)
            throw Error("shuffle item size " + std::to_string(itemSize) + " does not match the " +
                        std::to_string(sampleSize) + "-byte samples");
        block.itemSize = size_t(itemSize);
    }
}

// "compressed,uncompressed:compressed,uncompressed:..."
void parseSubBlocks(const QStringRef &text, DataBlock &block)
{
    uint64_t compressedSum = 0, uncompressedSum = 0;
    for (const QStringRef &item : text.split(QLatin1Char(':'))) {
        const QVector<QStringRef> sizes = item.split(QLatin1Char(','));
        SubBlock sub;
        if (sizes.size() != 2 || !parseUInt(sizes[0], sub.compressed) || !parseUInt(sizes[1], sub.uncompressed))
            throw Error("compression sub-blocks " + quoted(text) + " are malformed");
        if (__builtin_add_overflow(compressedSum, sub.compressed, &compressedSum) ||
            __builtin_add_overflow(uncompressedSum, sub.uncompressed, &uncompressedSum))
            throw Error("compression sub-blocks " + quoted(text) + " overflow");
        block.subBlocks.push_back(sub);
    }
    if (uncompressedSum != block.uncompressedSize)
        throw Error("compression sub-blocks add up to " + bytesText(uncompressedSum) + ", " +
                    bytesText(block.uncompressedSize) + " declared");
}

QByteArray withoutWhitespace(const QString &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (QChar ch : text) {
        if (!ch.isSpace())
            out.append(ch.unicode() < 128 ? char(ch.unicode()) : '\x80');  // non-ASCII fails decoding
    }
    return out;
}

std::string utf8(const QStringRef &text)
{
    return text.toUtf8().toStdString();
}

bool isXisfElement(const QXmlStreamReader &xml, const char *name)
{
    return xml.namespaceUri() == kXisfNamespace && xml.name() == QLatin1String(name);
}

// Parses one Image element, the reader standing on its start tag; leaves the
// reader on its end tag.
ImageEntry parseImage(QXmlStreamReader &xml, uint64_t fileSize)
{
    ImageEntry entry;
    Image &image = entry.image;
    DataBlock &block = entry.block;
    const QXmlStreamAttributes attributes = xml.attributes();

    if (!attributes.hasAttribute(QLatin1String("sampleFormat")))
        throw Error("image has no sampleFormat");
    Access::sampleFormat(image) = parseSampleFormat(attributes.value(QLatin1String("sampleFormat")));
    if (!attributes.hasAttribute(QLatin1String("geometry")))
        throw Error("image has no geometry");
    parseGeometry(attributes.value(QLatin1String("geometry")), image, entry.dataBytes);

    const QStringRef storage = attributes.value(QLatin1String("pixelStorage"));
    if (storage.isEmpty() || storage == QLatin1String("Planar"))
        Access::pixelStorage(image) = Image::Planar;
    else if (storage == QLatin1String("Normal"))
        Access::pixelStorage(image) = Image::Normal;
    else
        throw Error("unsupported pixel storage " + quoted(storage));

    const QStringRef colorSpace = attributes.value(QLatin1String("colorSpace"));
    if (colorSpace.isEmpty() || colorSpace == QLatin1String("Gray"))
        Access::colorSpace(image) = Image::Gray;
    else if (colorSpace == QLatin1String("RGB"))
        Access::colorSpace(image) = Image::RGB;
    else if (colorSpace == QLatin1String("CIELab"))
        Access::colorSpace(image) = Image::CIELab;
    else
        throw Error("unsupported color space " + quoted(colorSpace));

    const QStringRef byteOrder = attributes.value(QLatin1String("byteOrder"));
    if (byteOrder == QLatin1String("big"))
        block.bigEndian = true;
    else if (!byteOrder.isEmpty() && byteOrder != QLatin1String("little"))
        throw Error("unsupported byte order " + quoted(byteOrder));

    if (!attributes.hasAttribute(QLatin1String("location")))
        throw Error("image has no location");
    parseLocation(attributes.value(QLatin1String("location")), block, fileSize);

    const size_t sampleSize = Image::sampleFormatSize(Access::sampleFormat(image));
    // Compression may also be stated on an embedded Data element, which wins.
    QString compression = attributes.value(QLatin1String("compression")).toString();
    QString subBlocks = attributes.value(QLatin1String("subblocks")).toString();

    QString text;
    bool haveData = false;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::EndElement)
            break;
        if (token == QXmlStreamReader::Characters && block.location == Location::Inline) {
            text += xml.text();
        } else if (token == QXmlStreamReader::StartElement) {
            if (isXisfElement(xml, "FITSKeyword")) {
                const QXmlStreamAttributes a = xml.attributes();
                Access::fitsKeywords(image).push_back({utf8(a.value(QLatin1String("name"))),
                                                       utf8(a.value(QLatin1String("value"))),
                                                       utf8(a.value(QLatin1String("comment")))});
                xml.skipCurrentElement();
            } else if (isXisfElement(xml, "Data") && block.location == Location::Embedded && !haveData) {
                const QXmlStreamAttributes a = xml.attributes();
                const QStringRef encoding = a.value(QLatin1String("encoding"));
                if (encoding == QLatin1String("base64"))
                    block.encoding = Encoding::Base64;
                else if (encoding == QLatin1String("hex"))
                    block.encoding = Encoding::Hex;
                else
                    throw Error("unsupported embedded data encoding " + quoted(encoding));
                if (a.hasAttribute(QLatin1String("compression"))) {
                    compression = a.value(QLatin1String("compression")).toString();
                    subBlocks = a.value(QLatin1String("subblocks")).toString();
                }
                text = xml.readElementText();
                haveData = true;
            } else {
                xml.skipCurrentElement();
            }
        }
    }
    if (xml.hasError())
        return entry;  // reported by the caller with the parser's position

    if (block.location == Location::Embedded && !haveData)
        throw Error("embedded image has no Data element");
    if (block.location != Location::Attachment)
        block.text = withoutWhitespace(text);

    if (!compression.isEmpty())
        parseCompression(QStringRef(&compression), block, sampleSize);
    if (!subBlocks.isEmpty()) {
        if (block.codec == detail::Codec::None)
            throw Error("compression sub-blocks without compression");
        parseSubBlocks(QStringRef(&subBlocks), block);
    }

    if (block.codec != detail::Codec::None) {
        if (block.uncompressedSize != entry.dataBytes)
            throw Error("compressed block declares " + bytesText(block.uncompressedSize) + ", the image needs " +
                        bytesText(entry.dataBytes));
    } else if (block.location == Location::Attachment && block.size != entry.dataBytes) {
        throw Error("attachment holds " + bytesText(block.size) + ", the image needs " + bytesText(entry.dataBytes));
    }
    if (block.location == Location::Attachment && !block.subBlocks.empty()) {
        uint64_t sum = 0;
        for (const SubBlock &sub : block.subBlocks)
            sum += sub.compressed;  // cannot overflow: checked while parsing
        if (sum != block.size)
            throw Error("compression sub-blocks add up to " + bytesText(sum) + ", the attachment holds " +
                        bytesText(block.size));
    }
    return entry;
}

// XISF headers are UTF-8. Any other encoding named in the XML declaration
// is refused before the XML parser goes looking for a codec of that name.
void checkDeclaredEncoding(const char *data, size_t size)
{
    QByteArray start = QByteArray::fromRawData(data, int(std::min<size_t>(size, 1024)));
    if (start.startsWith("\xef\xbb\xbf"))
        start = start.mid(3);
    if (!start.startsWith("<?xml"))
        return;
    const int end = start.indexOf("?>");
    const QString declaration = QString::fromLatin1(start.left(end < 0 ? start.size() : end));
    if (!declaration.contains(QLatin1String("encoding")))
        return;
    static const QRegularExpression pattern(QStringLiteral("encoding\\s*=\\s*([\"'])([A-Za-z0-9._-]*)\\1"));
    const QRegularExpressionMatch match = pattern.match(declaration);
    const QString name = match.captured(2).toLower();
    if (!match.hasMatch() || (name != QLatin1String("utf-8") && name != QLatin1String("utf8")))
        throw Error("XISF header is not declared as UTF-8");
}

std::vector<ImageEntry> parseHeader(const char *data, size_t size, uint64_t fileSize)
{
    // Writers may pad the header with zeros up to the first attachment.
    while (size > 0 && (data[size - 1] == '\0' || data[size - 1] == ' ' || data[size - 1] == '\n' ||
                        data[size - 1] == '\r' || data[size - 1] == '\t'))
        --size;

    checkDeclaredEncoding(data, size);
    QXmlStreamReader xml(QByteArray::fromRawData(data, int(size)));
    xml.setNamespaceProcessing(true);
    xml.setEntityExpansionLimit(kMaxEntityExpansion);

    std::vector<ImageEntry> images;
    bool haveRoot = false;
    int depth = 0;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::DTD) {
            // Entities are the only use of a DTD here, and they only serve
            // expansion attacks.
            throw Error("XISF header contains a document type declaration");
        }
        if (token == QXmlStreamReader::StartElement) {
            if (depth == 0) {
                if (!isXisfElement(xml, "xisf"))
                    throw Error("XISF header root element is not xisf in the XISF namespace");
                haveRoot = true;
                ++depth;
            } else if (isXisfElement(xml, "Image")) {
                ImageEntry entry = parseImage(xml, fileSize);
                if (!xml.hasError())
                    images.push_back(std::move(entry));
            } else {
                xml.skipCurrentElement();
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    if (xml.hasError()) {
        throw Error("XISF header is not valid XML (line " + std::to_string(xml.lineNumber()) + "): " +
                    xml.errorString().left(200).toStdString());
    }
    if (!haveRoot)
        throw Error("XISF header has no xisf element");
    return images;
}

QByteArray decodeText(const DataBlock &block)
{
    if (block.encoding == Encoding::Hex) {
        if (block.text.size() % 2 != 0)
            throw Error("inline hex data has an odd number of digits");
        for (char ch : block.text) {
            if (!std::isxdigit(static_cast<unsigned char>(ch)))
                throw Error("inline hex data holds a character that is not a hex digit");
        }
        return QByteArray::fromHex(block.text);
    }
    QByteArray::FromBase64Result result = QByteArray::fromBase64Encoding(
        block.text, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        throw Error("inline base64 data is not valid base64");
    return std::move(result.decoded);
}

} // namespace

struct XISFReader::Private {
    QFile file;
    ByteArray memory;
    bool inMemory = false;
    uint64_t fileSize = 0;
    std::vector<ImageEntry> images;

    void readAt(uint64_t position, char *out, uint64_t size);
    void decodeInto(const ImageEntry &entry, char *out);
};

void XISFReader::Private::readAt(uint64_t position, char *out, uint64_t size)
{
    if (size == 0)
        return;
    if (inMemory) {
        std::memcpy(out, memory.constData() + position, size);  // bounds checked while parsing
        return;
    }
    if (!file.seek(qint64(position)))
        throw Error("cannot seek in the XISF file: " + file.errorString().toStdString());
    uint64_t done = 0;
    while (done < size) {
        const qint64 n = file.read(out + done, qint64(size - done));
        if (n <= 0)
            throw Error("the XISF file ends before its data");
        done += uint64_t(n);
    }
}

namespace {

// Sub-blocks are independent streams, so large images written in several
// decode on the global pool, the calling thread taking part. Below this
// size the hand-over costs more than it saves.
constexpr uint64_t kParallelBytes = 4u << 20;

// Decodes the compressed `raw` bytes of `block` into the `size` bytes at
// `out`, one sub-block after another or in parallel.
void expand(const DataBlock &block, const char *raw, uint64_t rawSize, char *out, uint64_t size)
{
    if (block.subBlocks.empty()) {
        detail::checkExpansion(block.codec, raw, size_t(rawSize), size_t(size));
        detail::decompress(block.codec, raw, size_t(rawSize), out, size_t(size));
        return;
    }
    struct Job {
        const char *in;
        size_t inSize;
        char *out;
        size_t outSize;
        std::string error;
    };
    std::vector<Job> jobs;
    jobs.reserve(block.subBlocks.size());
    uint64_t in = 0, at = 0;
    for (const SubBlock &sub : block.subBlocks) {
        if (sub.compressed > rawSize - in)
            throw Error("compression sub-blocks reach past the end of the data block");
        detail::checkExpansion(block.codec, raw + in, size_t(sub.compressed), size_t(sub.uncompressed));
        jobs.push_back({raw + in, size_t(sub.compressed), out + at, size_t(sub.uncompressed), {}});
        in += sub.compressed;
        at += sub.uncompressed;  // sums to `size`: checked while parsing
    }
    if (in != rawSize)
        throw Error("compression sub-blocks do not cover the data block");

    const auto decode = [codec = block.codec, &jobs](size_t i) {
        Job &job = jobs[i];
        try {
            detail::decompress(codec, job.in, job.inSize, job.out, job.outSize);
        } catch (const Error &error) {
            job.error = error.what();  // exceptions must not cross the pool
        }
    };
    if (size >= kParallelBytes) {
        runOnPool(jobs.size(), decode);
    } else {
        for (size_t i = 0; i < jobs.size(); ++i)
            decode(i);
    }
    for (const Job &job : jobs) {
        if (!job.error.empty())
            throw Error(job.error);  // the first one in the file
    }
}

// A buffer that is written whole right after allocation. With 4 KiB pages
// the kernel takes a fault per page, and faulting in a 48 MB buffer costs
// more than unshuffling it; 2 MiB pages take one in 512. (The image loader
// advises its sample buffers the same way; the reader stands alone.)
std::unique_ptr<char[]> scratchBuffer(size_t bytes)
{
    std::unique_ptr<char[]> buffer(new char[bytes]);
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHugePage = uintptr_t(2) << 20;
    const uintptr_t first = reinterpret_cast<uintptr_t>(buffer.get());
    const uintptr_t begin = (first + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (first + bytes) & ~(kHugePage - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#endif
    return buffer;
}

// Unshuffles a block in place, stages of 1 MiB or more in bands of items on
// the global pool (each stage is 1/itemSize of the one before, so most of
// the work is in the first). `aside` holds detail::shuffleAsideBytes() bytes.
void unshuffleInPlace(char *data, size_t size, size_t itemSize, char *aside)
{
    detail::setShuffledPlanesAside(data, size, itemSize, aside);
    for (size_t end = size / itemSize; end > 0;) {
        const size_t begin = detail::unshuffleStageBegin(end, itemSize);
        if ((end - begin) * itemSize < kParallelBytes / 4) {
            detail::unshuffleStage(data, aside, size, itemSize, begin, end);
        } else {
            constexpr size_t kBands = 16;
            const size_t step = (end - begin) / kBands;
            runOnPool(kBands, [=](size_t band) {
                const size_t first = begin + band * step;
                detail::unshuffleStage(data, aside, size, itemSize, first, band + 1 == kBands ? end : first + step);
            });
        }
        end = begin;
    }
}

} // namespace

void XISFReader::Private::decodeInto(const ImageEntry &entry, char *out)
{
    const DataBlock &block = entry.block;
    const uint64_t needed = entry.dataBytes;
    const bool shuffled = block.codec != detail::Codec::None && block.itemSize > 1;
    const size_t asideBytes = shuffled ? detail::shuffleAsideBytes(size_t(needed), block.itemSize) : 0;

    // Encoded or attached bytes, before decompression. A shuffled block
    // decodes into `out` and is unshuffled there; one scratch buffer first
    // holds the compressed bytes read from disk, then the planes set aside.
    QByteArray decoded;
    std::unique_ptr<char[]> scratch;
    const char *raw = nullptr;
    uint64_t rawSize = 0;
    if (block.location == Location::Attachment) {
        rawSize = block.size;
        if (block.codec == detail::Codec::None) {
            readAt(block.position, out, needed);  // size checked while parsing
        } else if (inMemory) {
            raw = memory.constData() + block.position;
        } else {
            // Only a memory-sized attachment can be read in one piece; on a
            // 32-bit system a larger file may declare more than size_t holds.
            if (rawSize > std::numeric_limits<size_t>::max())
                throw Error("attachment of " + bytesText(rawSize) + " does not fit in memory");
            scratch = scratchBuffer(std::max(size_t(rawSize), asideBytes));
            readAt(block.position, scratch.get(), rawSize);
            raw = scratch.get();
        }
    } else {
        decoded = decodeText(block);
        raw = decoded.constData();
        rawSize = uint64_t(decoded.size());
        if (block.codec == detail::Codec::None) {
            if (rawSize != needed)
                throw Error("inline data holds " + bytesText(rawSize) + ", the image needs " + bytesText(needed));
            if (needed > 0)
                std::memcpy(out, raw, size_t(needed));
        }
    }

    if (block.codec != detail::Codec::None)
        expand(block, raw, rawSize, out, needed);
    if (shuffled) {
        decoded = QByteArray();
        if (!scratch)
            scratch = scratchBuffer(asideBytes);
        unshuffleInPlace(out, size_t(needed), block.itemSize, scratch.get());
    }

    if (block.bigEndian) {
        const Image::SampleFormat format = entry.image.sampleFormat();
        size_t word = Image::sampleFormatSize(format);
        if (format == Image::Complex32 || format == Image::Complex64)
            word /= 2;  // real and imaginary parts are swapped separately
        detail::swapByteOrder(out, size_t(needed), word);
    }
}

XISFReader::XISFReader() : d(std::make_unique<Private>()) {}

XISFReader::~XISFReader() = default;

void XISFReader::close()
{
    d = std::make_unique<Private>();
}

namespace {

// Checks the 16-byte preamble and returns the header length.
uint64_t headerLength(const char *preamble, uint64_t fileSize)
{
    if (fileSize < kPreambleBytes)
        throw Error("file is too short for an XISF header");
    if (std::memcmp(preamble, kSignature, sizeof kSignature) != 0)
        throw Error("file does not start with the XISF 1.0 signature");
    const auto *p = reinterpret_cast<const unsigned char *>(preamble + 8);
    const uint64_t length = uint64_t(p[0]) | uint64_t(p[1]) << 8 | uint64_t(p[2]) << 16 | uint64_t(p[3]) << 24;
    if (length > fileSize - kPreambleBytes)
        throw Error("XISF header length " + bytesText(length) + " reaches past the end of the file");
    if (length > kMaxHeaderBytes)
        throw Error("XISF header of " + bytesText(length) + " is larger than " + bytesText(kMaxHeaderBytes));
    return length;
}

} // namespace

void XISFReader::open(const std::string &path)
{
    close();
    try {
        d->file.setFileName(QFile::decodeName(path.c_str()));
        if (!d->file.open(QIODevice::ReadOnly))
            throw Error("cannot open " + path + ": " + d->file.errorString().toStdString());
        d->fileSize = uint64_t(d->file.size());
        char preamble[kPreambleBytes] = {};
        if (d->fileSize >= kPreambleBytes)
            d->readAt(0, preamble, kPreambleBytes);
        const uint64_t length = headerLength(preamble, d->fileSize);
        ByteArray header{size_t(length)};
        d->readAt(kPreambleBytes, header.data(), length);
        d->images = parseHeader(header.constData(), header.size(), d->fileSize);
    } catch (const std::bad_alloc &) {
        close();
        throw Error("out of memory reading the XISF header");
    } catch (...) {
        close();
        throw;
    }
}

void XISFReader::open(const ByteArray &data)
{
    close();
    try {
        d->memory = data;
        d->inMemory = true;
        d->fileSize = d->memory.size();
        const uint64_t length = headerLength(d->memory.constData(), d->fileSize);
        d->images = parseHeader(d->memory.constData() + kPreambleBytes, size_t(length), d->fileSize);
    } catch (const std::bad_alloc &) {
        close();
        throw Error("out of memory reading the XISF header");
    } catch (...) {
        close();
        throw;
    }
}

uint32_t XISFReader::imagesCount() const
{
    return uint32_t(d->images.size());
}

const Image &XISFReader::getImage(uint32_t index, bool readPixels)
{
    if (index >= d->images.size())
        throw Error("image index " + std::to_string(index) + " is out of range");
    ImageEntry &entry = d->images[index];
    if (readPixels && !entry.pixelsRead) {
        try {
            ByteArray samples{size_t(entry.dataBytes)};
            d->decodeInto(entry, samples.data());
            Access::data(entry.image) = std::move(samples);
            entry.pixelsRead = true;
        } catch (const std::bad_alloc &) {
            throw Error("out of memory reading " + bytesText(entry.dataBytes) + " of samples");
        }
    }
    return entry.image;
}

size_t XISFReader::imageDataSize(uint32_t index) const
{
    if (index >= d->images.size())
        throw Error("image index " + std::to_string(index) + " is out of range");
    return size_t(d->images[index].dataBytes);
}

void XISFReader::readImageData(uint32_t index, void *out, size_t size)
{
    if (size != imageDataSize(index))
        throw Error("image " + std::to_string(index) + " holds " + bytesText(imageDataSize(index)) + ", not " +
                    bytesText(size));
    const ImageEntry &entry = d->images[index];
    try {
        d->decodeInto(entry, static_cast<char *>(out));
    } catch (const std::bad_alloc &) {
        throw Error("out of memory reading " + bytesText(entry.dataBytes) + " of samples");
    }
}

} // namespace LibXISF
