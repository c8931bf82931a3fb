// Times the stages of a FITS preview one after another, the way the
// straightforward pipeline runs them: load (samples, demosaic, statistics),
// stretch parameters, rendering at full size, narrowing; then the whole
// preview as the program builds it.
//
//   preview_stages FILE [WIDTH [QUALITY [REPEATS]]]

#include "image/fits_data.h"
#include "stretch/fits_preview.h"
#include "stretch/narrow.h"
#include "stretch/stretch_renderer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double millisecondsOf(QElapsedTimer &timer)
{
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    timer.restart();
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: preview_stages FILE [WIDTH [QUALITY [REPEATS]]]\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const int width = argc > 2 ? std::atoi(argv[2]) : 800;
    const int quality = argc > 3 ? std::atoi(argv[3]) : 90;
    const int repeats = argc > 4 ? std::atoi(argv[4]) : 5;

    // Best of the repeats per stage: the machine may be busy with other work.
    std::vector<double> best(7, 1e30);
    for (int r = 0; r < repeats; ++r) {
        QElapsedTimer timer;
        timer.start();
        QImage picture;
        int referenceWidth = 0;
        double t[7] = {};
        {
            FITSData data;
            if (!data.startLoad(path).result()) {
                std::fprintf(stderr, "preview_stages: cannot load %s\n", argv[1]);
                return 1;
            }
            t[0] = millisecondsOf(timer);
            // The statistics once more, to tell their share of the load.
            data.computeStatistics(false);
            t[6] = millisecondsOf(timer);
            const ImageStatistics &stats = data.stats;
            StretchRenderer renderer(stats.width, stats.height, stats.channels, stats.sampleType);
            renderer.setParams(renderer.computeParams(data.pixels.get()));
            t[1] = millisecondsOf(timer);
            if (renderer.renderedPlanes() == 3) {
                picture = QImage(stats.width, stats.height, QImage::Format_RGB32);
            } else {
                picture = QImage(stats.width, stats.height, QImage::Format_Indexed8);
                QVector<QRgb> grey(256);
                for (int i = 0; i < 256; ++i)
                    grey[i] = qRgb(i, i, i);
                picture.setColorTable(grey);
            }
            renderer.run(data.pixels.get(), picture, 1);
            t[2] = millisecondsOf(timer);
            referenceWidth = stats.width;
        }
        t[3] = millisecondsOf(timer);
        picture = narrowToWidth(std::move(picture), referenceWidth, width, quality);
        t[4] = millisecondsOf(timer);
        const QImage preview = fitsPreview(path, width, quality);
        t[5] = millisecondsOf(timer);
        for (int i = 0; i < 7; ++i)
            best[size_t(i)] = std::min(best[size_t(i)], t[i]);
    }
    std::printf("load %.1f (statistics %.1f)  params %.1f  render %.1f  release %.1f  narrow %.1f  | preview %.1f ms\n",
                best[0], best[6], best[1], best[2], best[3], best[4], best[5]);
    return 0;
}
