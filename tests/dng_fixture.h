#pragma once

// A minimal little-endian DNG written by hand, enough for LibRaw to open it,
// report its sensor size, timestamp, exposure and ISO, and hand out its
// embedded preview.

#include <QByteArray>
#include <QImage>
#include <QString>

struct DngOptions {
    int sensorWidth = 256;   // raw CFA image in SubIFD 0, 16-bit RGGB
    int sensorHeight = 170;
    QImage preview;          // embedded picture in IFD0; a grey 64x40 one when null
    bool jpegPreview = true; // baseline JPEG, or an uncompressed 8-bit RGB bitmap
    QByteArray previewBytes; // when set, embedded as the JPEG data instead of `preview`
    bool withPreview = true; // false: IFD0 holds no picture at all
    bool withExposure = true; // ExposureTime and ISOSpeedRatings in the Exif IFD
    int exposureDenominator = 250;  // ExposureTime 1/denominator s
    int iso = 400;
    QByteArray make = "Fixture";
    QByteArray model = "Camera One";
    QByteArray dateTime = "2024:03:01 21:05:09";  // DateTime and DateTimeOriginal
};

// The whole file as bytes.
QByteArray makeDng(const DngOptions &options);
// Writes makeDng(options) to `path`; false when the file cannot be written.
bool writeDng(const QString &path, const DngOptions &options);
