// The floor of a FITS preview: open the file and read its samples as
// unsigned 16-bit integers with CFITSIO, nothing else.
//
//   read_floor FILE

#include <fitsio.h>

#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: read_floor FILE\n");
        return 2;
    }
    fitsfile *f = nullptr;
    int status = 0, bitpix = 0, naxis = 0;
    long axes[3] = {1, 1, 1};
    fits_open_diskfile(&f, argv[1], READONLY, &status);
    fits_get_img_param(f, 3, &bitpix, &naxis, axes, &status);
    std::vector<unsigned short> samples(size_t(axes[0]) * axes[1] * axes[2]);
    fits_read_img(f, TUSHORT, 1, (long long)samples.size(), nullptr, samples.data(), nullptr, &status);
    int closeStatus = 0;
    if (f)
        fits_close_file(f, &closeStatus);
    if (status) {
        fits_report_error(stderr, status);
        return 1;
    }
    return 0;
}
