#pragma once

// Writes monolithic XISF 1.0 files for tests and benchmarks: every sample
// format, storage, location, codec and byte order the reader accepts, plus
// attribute overrides to build damaged files.

#include "xisf/xisf_reader.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <vector>

enum class XisfLocation { Attachment, InlineBase64, InlineHex, EmbeddedBase64, EmbeddedHex };

struct XisfFixture {
    uint32_t width = 1;
    uint32_t height = 1;
    uint32_t channels = 1;
    LibXISF::Image::SampleFormat sampleFormat = LibXISF::Image::UInt16;
    QByteArray samples;       // machine byte order, laid out as `pixelStorage` says
    QString pixelStorage;     // "Planar", "Normal"; empty leaves the attribute out
    QString colorSpace;       // "Gray", "RGB", ...; empty leaves it out
    bool bigEndian = false;   // store the samples big-endian
    XisfLocation location = XisfLocation::Attachment;
    QString codec;            // "zlib", "lz4", "lz4hc", "zstd"; empty: uncompressed
    bool shuffle = false;     // byte-shuffle before compressing
    int subBlocks = 0;        // > 1: compress in that many separate sub-blocks
    std::vector<LibXISF::FITSKeyword> keywords;
    // Replaces generated Image attributes (a null value removes one).
    QMap<QString, QString> attributes;
    QString extraXml;         // written inside the Image element, after the keywords
};

// Bytes of one sample of `format`.
size_t xisfSampleSize(LibXISF::Image::SampleFormat format);

// The whole file: preamble, XML header, attachments.
QByteArray xisfFile(const std::vector<XisfFixture> &images);
// A file with the given XML header (length field set to match) and tail.
QByteArray xisfContainer(const QByteArray &xml, const QByteArray &tail = QByteArray());
bool writeXisfFile(const QString &path, const std::vector<XisfFixture> &images);
