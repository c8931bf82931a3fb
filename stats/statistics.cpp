#include "stats/statistics.h"

#include <gsl/gsl_statistics_double.h>

#include <algorithm>

uint64_t medianStep(uint32_t count)
{
    if (count <= kMedianSampleLimit)
        return 1;
    return uint64_t(count / double(kMedianSampleLimit) + 0.999);
}

double medianOfValues(std::vector<int32_t> &values)
{
    const size_t n = values.size();
    if (n == 0)
        return 0.0;
    // Only the middle order statistics matter. Selecting them is linear
    // where a full sort is n log n; GSL then gets them as sorted data of
    // their own and forms the median as it does for the whole array. It
    // gets them as doubles: the int variant adds the two middle values in
    // int, which overflows for large 32-bit samples.
    const size_t upper = n / 2;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(upper), values.end());
    double middle[2];
    size_t count = 0;
    if (n % 2 == 0)
        middle[count++] = *std::max_element(values.begin(), values.begin() + std::ptrdiff_t(upper));
    middle[count++] = values[upper];
    return gsl_stats_median_from_sorted_data(middle, 1, count);
}
