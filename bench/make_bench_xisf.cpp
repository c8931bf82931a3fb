// Writes the XISF variants of the 16-bit benchmark frame: reads DIR/mono16.fits
// (made by make_bench_images) and stores the same samples uncompressed and
// with every codec capture programs offer, with and without byte shuffling,
// as one block (mono16-CODEC[sh].xisf) and, for zlib with shuffling, in
// 8 sub-blocks as well (mono16-zlibsh-sub.xisf).
//
//   make_bench_xisf DIR

#include "tests/xisf_writer.h"

#include <fitsio.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_bench_xisf DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    fitsfile *f = nullptr;
    int status = 0, bitpix = 0, naxis = 0;
    long axes[2] = {0, 0};
    fits_open_diskfile(&f, (dir + "/mono16.fits").c_str(), READONLY, &status);
    fits_get_img_param(f, 2, &bitpix, &naxis, axes, &status);
    std::vector<unsigned short> samples(size_t(axes[0]) * size_t(axes[1]));
    fits_read_img(f, TUSHORT, 1, (long long)samples.size(), nullptr, samples.data(), nullptr, &status);
    int closeStatus = 0;
    if (f)
        fits_close_file(f, &closeStatus);
    if (status) {
        fits_report_error(stderr, status);
        return 1;
    }

    XisfFixture image;
    image.width = uint32_t(axes[0]);
    image.height = uint32_t(axes[1]);
    image.sampleFormat = LibXISF::Image::UInt16;
    image.samples = QByteArray(reinterpret_cast<const char *>(samples.data()), int(samples.size() * 2));
    image.colorSpace = QStringLiteral("Gray");
    image.keywords = {{"EXPTIME", "30.0", "exposure time in seconds"}, {"OBJECT", "'Synthetic field'", ""}};
    bool ok = writeXisfFile(QString::fromStdString(dir + "/mono16.xisf"), {image});
    for (const char *codec : {"zlib", "lz4", "lz4hc", "zstd"}) {
        for (bool shuffle : {false, true}) {
            image.codec = QString::fromLatin1(codec);
            image.shuffle = shuffle;
            const std::string name = dir + "/mono16-" + codec + (shuffle ? "sh" : "") + ".xisf";
            ok = ok && writeXisfFile(QString::fromStdString(name), {image});
        }
    }
    image.codec = QStringLiteral("zlib");
    image.shuffle = true;
    image.subBlocks = 8;
    ok = ok && writeXisfFile(QString::fromStdString(dir + "/mono16-zlibsh-sub.xisf"), {image});
    return ok ? 0 : 1;
}
