#pragma once

#include "image/image_types.h"

#include <QByteArray>
#include <QDateTime>
#include <QFuture>
#include <QImage>
#include <QList>
#include <QObject>
#include <QRect>
#include <QString>
#include <QTemporaryFile>

#include "image/cfitsio.h"

#include <wcslib/wcs.h>
#include <wcslib/wcshdr.h>

#include <memory>
#include <utility>

// wcspih() returns an array that needs its count to be freed.
struct WcsArray {
    int count = 0;
    wcsprm *wcs = nullptr;
    WcsArray() = default;
    WcsArray(const WcsArray &) = delete;
    WcsArray &operator=(const WcsArray &) = delete;
    ~WcsArray() { release(); }
    void release();
};

// The in-memory image of one source file: one to three planar sample
// planes, the header records, statistics, Bayer parameters and world
// coordinates. Users start a load, wait on its future, then read members.
class FITSData : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString filename READ getFilename)
    Q_PROPERTY(QString extension READ getExtension)
    Q_PROPERTY(qlonglong size READ getSize)
    Q_PROPERTY(ushort width READ getWidth)
    Q_PROPERTY(ushort height READ getHeight)
    Q_PROPERTY(FITSMode mode READ getMode WRITE setMode)
    Q_PROPERTY(uchar channels READ getChannels)
    Q_PROPERTY(uchar bpp READ getBpp)
    Q_PROPERTY(bool hasWCS READ getHasWCS)
    Q_PROPERTY(bool hasDebayer READ getHasDebayer)

public:
    FITSData();
    ~FITSData() override;
    FITSData(const FITSData &) = delete;
    FITSData &operator=(const FITSData &) = delete;

    // Loads `path` on the global thread pool; the future yields success.
    QFuture<bool> startLoad(const QString &path);
    // Chooses the loader by `extension`; empty `bytes` reads `filename`.
    // After a loader succeeds, still on the same thread, the demosaic,
    // statistics and world coordinates follow (load/fits_data_load.cpp).
    bool loadByExtension(const QByteArray &bytes);
    // Closes the open FITS file and takes `path` as the new source.
    void resetForLoad(const QString &path);
    // First valid value recorded under `key` (exact match).
    bool findRecordValue(const QString &key, QVariant &value) const;

    // Loaders (one file each under image/): samples, shape and header
    // records only; loadByExtension() finishes what they read.
    bool readFits(const QByteArray &bytes, bool unpack);
    bool readXisf(const QByteArray &bytes);
    bool readRaw(const QByteArray &bytes);
    bool readPicture(const QByteArray &bytes);

    // Opens a packed or tile-compressed file as a read-only memory file
    // that becomes `fitsHandle`, after checking every HDU as if the whole
    // file were expanded; its tiles are decoded only when the samples are
    // read. False, with `loadError` set, when the file must not be read.
    bool openCompressed(const QByteArray &bytes);
    // Parses world coordinates from the open FITS header or headerRecords.
    void loadWorldCoordinates();

    // Statistics of the whole image (roi false) or of the region copy;
    // defined in stats/, which image/ does not link.
    void computeStatistics(bool roi);
    void computeMinMax(bool roi);
    void computeMedian(bool roi);
    void computeMeanDeviation(bool roi);
    template <typename T>
    std::pair<T, T> chunkMinMax(uint32_t start, uint32_t count, bool roi) const;

    // Demosaic of single-plane Bayer data into three planes (debayer/).
    bool debayer8();
    bool debayer16();
    // For a previewOnly load, in place of the demosaic: keeps the mosaic in
    // `pixels` (holdsMosaic) when the demosaic would make colour planes that
    // are a re-indexing of it (nearest neighbour). False when the demosaic
    // must run instead.
    bool keepMosaic();
    // Makes the three planes of a kept mosaic, as the demosaic of the load
    // would have; true when `pixels` holds planes.
    bool expandMosaic();

    QString getFilename() const { return filename; }
    QString getExtension() const { return extension; }
    qlonglong getSize() const { return stats.size; }
    ushort getWidth() const { return stats.width; }
    ushort getHeight() const { return stats.height; }
    FITSMode getMode() const { return mode; }
    void setMode(FITSMode m)
    {
        if (m != mode)
            mode = m;
    }
    uchar getChannels() const { return stats.channels; }
    uchar getBpp() const { return static_cast<uchar>(bitsPerSampleOf(stats.sampleType)); }
    bool getHasWCS() const { return hasWCS; }
    bool getHasDebayer() const { return hasDebayer; }

    // Raw suffixes the image object routes to LibRaw.
    static const QStringList &rawSuffixes();

signals:
    void converted(QImage);
    void histogramReady();
    void dataChanged();

public slots:
    // Copies the rectangle and measures it into roiStats (stats/).
    void makeRoiBuffer(QRect roi);

public:
    FitsPtr fitsHandle;
    std::unique_ptr<uint8_t[]> pixels;
    uint32_t pixelBytes = 0;
    std::unique_ptr<uint8_t[]> roiPixels;
    bool inTempDir = false;
    bool hasWCS = false;
    bool hasDebayer = false;
    // CFITSIO grows an in-memory file with realloc() through the address of
    // this pointer and its size, so both must be plain members that outlive
    // `fitsHandle`; resetForLoad() and the destructor free it after closing.
    void *memoryFile = nullptr;
    size_t memoryFileSize = 0;
    QString filename;
    QString packedFilename;
    QString extension;
    FITSMode mode = Normal;
    WcsArray worldCoords;
    int32_t worldCoordState = 0;  // 0 not attempted, 2 loaded, 3 failed
    DemosaicParams bayer;
    QTemporaryFile scratchFile;
    int32_t bitpix = 20;
    ImageStatistics stats;
    ImageStatistics roiStats;
    QList<HeaderRecord> headerRecords;
    QString lastErrorText;
    QDateTime observationTime;
    // Short reason of the last failed load, for the caller's message.
    QString loadError;
    // Set before startLoad() by users that need only what the header says
    // (the metadata record): the shape and header records are loaded after
    // the same checks as a full load, but no samples, statistics, demosaic
    // or world coordinates.
    bool headerOnly = false;
    // Set before startLoad() by the preview builder, which reads the samples
    // and only the first channel's minimum and maximum (to tell a flat
    // image): the statistics stop at that range, world coordinates are not
    // parsed, and Bayer data stays a mosaic where keepMosaic() allows.
    bool previewOnly = false;
    // `pixels` holds the single Bayer plane of `bayer` standing for the
    // three planes `stats` describes (see keepMosaic()).
    bool holdsMosaic = false;
    // Set by the FITS loader when `pixels` holds the one Bayer plane that
    // `bayer` describes, for the load's finishing to demosaic (or keep).
    bool bayerPlaneRead = false;

private:
    void releaseMemoryFile();
    // Copies `size` bytes (none when null) into a zeroed `memoryFile` of
    // whole FITS blocks; false, with `loadError` set, when it cannot.
    bool holdBytes(const char *bytes, size_t size);
};
