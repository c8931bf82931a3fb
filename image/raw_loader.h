#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// What the metadata record takes from a camera RAW file, read without
// developing it.
struct RawCameraInfo {
    int width = 0;       // the sensor's visible size
    int height = 0;
    qint64 timestamp = 0;  // seconds since 1970; 0 or less when the file names no time
    float shutter = 0;     // seconds; 0 when unknown
    float isoSpeed = 0;    // 0 when unknown
};

// False when LibRaw cannot open `path`; `error` then says why.
bool readRawCameraInfo(const QString &path, RawCameraInfo &info, QString *error = nullptr);

// The encoded picture a camera embedded in a RAW file, decoded, and the
// sensor's visible width, against which it is narrowed. Null on failure;
// `error` then says why.
QImage rawEmbeddedPicture(const QString &path, int &sensorWidth, QString *error = nullptr);
// The same for a RAW file held in memory.
QImage rawEmbeddedPictureOfBytes(const QByteArray &bytes, int &sensorWidth, QString *error = nullptr);
