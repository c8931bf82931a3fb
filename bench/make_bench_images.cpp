// Writes the benchmark inputs into a folder: star fields of the sizes the
// comparison uses, as plain, Bayer, float and colour-cube FITS (bench/compare.sh
// packs some of them with fpack), and 9576 x 6388 mono and Bayer frames.
//
//   make_bench_images DIR [WIDTH HEIGHT]

#include <fitsio.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

// A sky background with read noise and a few thousand Gaussian stars; the
// same seed gives the same field, so runs compare like with like.
std::vector<float> starField(long width, long height, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 12.0f);
    std::vector<float> field(size_t(width) * height);
    for (float &v : field)
        v = 1000.0f + noise(rng);
    std::uniform_real_distribution<float> ux(0.0f, float(width)), uy(0.0f, float(height));
    std::exponential_distribution<float> brightness(1.0f / 4000.0f);
    const long stars = width * height / 6000;
    for (long s = 0; s < stars; ++s) {
        const float cx = ux(rng), cy = uy(rng), peak = std::min(60000.0f, brightness(rng));
        const float sigma = 1.2f + peak / 20000.0f;
        const int r = int(std::ceil(4 * sigma));
        for (int dy = -r; dy <= r; ++dy) {
            const long y = long(cy) + dy;
            if (y < 0 || y >= height)
                continue;
            for (int dx = -r; dx <= r; ++dx) {
                const long x = long(cx) + dx;
                if (x < 0 || x >= width)
                    continue;
                const float d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                field[size_t(y) * width + x] += peak * std::exp(-d2 / (2 * sigma * sigma));
            }
        }
    }
    for (float &v : field)
        v = std::min(65535.0f, std::max(0.0f, v));
    return field;
}

bool check(int status, const std::string &what)
{
    if (status) {
        std::fprintf(stderr, "make_bench_images: %s: ", what.c_str());
        fits_report_error(stderr, status);
        return false;
    }
    return true;
}

bool writeImage(const std::string &path, int bitpix, const std::vector<long> &axes, int type, void *data,
                const std::vector<std::string> &cards)
{
    std::remove(path.c_str());
    fitsfile *f = nullptr;
    int status = 0;
    fits_create_diskfile(&f, path.c_str(), &status);
    fits_create_img(f, bitpix, int(axes.size()), const_cast<long *>(axes.data()), &status);
    for (const std::string &card : cards)
        fits_write_record(f, card.c_str(), &status);
    long long n = 1;
    for (long a : axes)
        n *= a;
    fits_write_img(f, type, 1, n, data, &status);
    int closeStatus = 0;
    if (f)
        fits_close_file(f, &closeStatus);
    return check(status ? status : closeStatus, path);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: make_bench_images DIR [WIDTH HEIGHT]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const long width = argc == 4 ? std::atol(argv[2]) : 6000;
    const long height = argc == 4 ? std::atol(argv[3]) : 4000;

    const std::vector<float> field = starField(width, height, 42);
    std::vector<unsigned short> u16(field.begin(), field.end());
    const std::vector<std::string> observation = {"EXPTIME =                 30.0 / exposure time in seconds",
                                                  "OBJECT  = 'Synthetic field'"};
    bool ok = true;
    // Unsigned 16-bit is stored as signed with BZERO 32768, as cameras write it.
    ok &= writeImage(dir + "/mono16.fits", USHORT_IMG, {width, height}, TUSHORT, u16.data(), observation);

    std::vector<float> f32(field.size());
    for (size_t i = 0; i < field.size(); ++i)
        f32[i] = field[i] / 65535.0f;
    ok &= writeImage(dir + "/float32.fits", FLOAT_IMG, {width, height}, TFLOAT, f32.data(), observation);

    // An RGGB mosaic: the colour of each site scales the field differently.
    std::vector<unsigned short> bayer(u16.size());
    const float gain[2][2] = {{0.9f, 1.0f}, {1.0f, 0.6f}};
    for (long y = 0; y < height; ++y)
        for (long x = 0; x < width; ++x)
            bayer[size_t(y) * width + x] = (unsigned short)(field[size_t(y) * width + x] * gain[y & 1][x & 1]);
    std::vector<std::string> bayerCards = observation;
    bayerCards.push_back("BAYERPAT= 'RGGB'");
    bayerCards.push_back("XBAYROFF=                    0");
    bayerCards.push_back("YBAYROFF=                    0");
    ok &= writeImage(dir + "/rggb16.fits", USHORT_IMG, {width, height}, TUSHORT, bayer.data(), bayerCards);

    std::vector<unsigned char> rgb(field.size() * 3);
    for (int c = 0; c < 3; ++c)
        for (size_t i = 0; i < field.size(); ++i)
            rgb[c * field.size() + i] = (unsigned char)(std::min(255.0f, field[i] / (64.0f + 32.0f * c)));
    ok &= writeImage(dir + "/rgb8.fits", BYTE_IMG, {width, height, 3}, TBYTE, rgb.data(), observation);

    // A 61-megapixel camera's frame, mono and RGGB: where memory that grows
    // with the image shows.
    {
        const long bigWidth = 9576, bigHeight = 6388;
        const std::vector<float> big = starField(bigWidth, bigHeight, 61);
        std::vector<unsigned short> big16(big.begin(), big.end());
        ok &= writeImage(dir + "/mono16-61mp.fits", USHORT_IMG, {bigWidth, bigHeight}, TUSHORT, big16.data(),
                         observation);
        for (long y = 0; y < bigHeight; ++y)
            for (long x = 0; x < bigWidth; ++x)
                big16[size_t(y) * bigWidth + x] = (unsigned short)(big[size_t(y) * bigWidth + x] * gain[y & 1][x & 1]);
        ok &= writeImage(dir + "/rggb16-61mp.fits", USHORT_IMG, {bigWidth, bigHeight}, TUSHORT, big16.data(),
                         bayerCards);
    }

    const std::vector<float> small = starField(1000, 700, 7);
    std::vector<unsigned short> small16(small.begin(), small.end());
    ok &= writeImage(dir + "/small16.fits", USHORT_IMG, {1000, 700}, TUSHORT, small16.data(), observation);
    std::vector<unsigned short> tiny(100 * 100, 1000);
    ok &= writeImage(dir + "/tiny16.fits", USHORT_IMG, {100, 100}, TUSHORT, tiny.data(), observation);
    return ok ? 0 : 1;
}
