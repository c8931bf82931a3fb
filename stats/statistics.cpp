#include "stats/statistics.h"

#include <gsl/gsl_statistics_double.h>

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

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
    const bool even = n % 2 == 0;
    const double lower = even ? *std::max_element(values.begin(), values.begin() + std::ptrdiff_t(upper)) : 0.0;
    return medianOfMiddle(lower, values[upper], even);
}

double medianOfMiddle(double lower, double upper, bool even)
{
    double middle[2] = {lower, upper};
    return even ? gsl_stats_median_from_sorted_data(middle, 1, 2) : gsl_stats_median_from_sorted_data(middle + 1, 1, 1);
}

void rangeAndSums16(const uint16_t *data, uint32_t count, uint16_t &minimum, uint16_t &maximum, int64_t &sum,
                    uint64_t &squares)
{
    uint32_t i = 0;
    minimum = 0xffff;
    maximum = 0;
    sum = 0;
    squares = 0;
#if defined(__SSE2__)
    // SSE2 has signed 16-bit minimum, maximum and multiply-add only, so the
    // lanes hold s = x - 32768 (the top bit flipped), and
    // x^2 = s^2 + 65536 s + 2^30 turns the sums of s and s^2 back into those
    // of x: exact integers, the squares modulo 2^64 as the plain loop's.
    const __m128i flip = _mm_set1_epi16(int16_t(0x8000));
    const __m128i ones = _mm_set1_epi16(1);
    const __m128i zero = _mm_setzero_si128();
    __m128i low = _mm_set1_epi16(32767), high = _mm_set1_epi16(-32768);
    __m128i sums = zero, squareSums = zero;
    const uint32_t vectorEnd = count & ~7u;
    while (i < vectorEnd) {
        // 32-bit lanes gather at most 2 * 16384 * 32768 = 2^30 in magnitude
        // before they are widened.
        const uint32_t blockEnd = std::min(vectorEnd, i + 8u * 16384u);
        __m128i blockSums = zero;
        for (; i < blockEnd; i += 8) {
            const __m128i s =
                _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i)), flip);
            low = _mm_min_epi16(low, s);
            high = _mm_max_epi16(high, s);
            blockSums = _mm_add_epi32(blockSums, _mm_madd_epi16(s, ones));
            // Two squares of at most 2^30 each: exact as unsigned 32 bits.
            const __m128i pairSquares = _mm_madd_epi16(s, s);
            squareSums = _mm_add_epi64(squareSums, _mm_unpacklo_epi32(pairSquares, zero));
            squareSums = _mm_add_epi64(squareSums, _mm_unpackhi_epi32(pairSquares, zero));
        }
        const __m128i sign = _mm_srai_epi32(blockSums, 31);
        sums = _mm_add_epi64(sums, _mm_unpacklo_epi32(blockSums, sign));
        sums = _mm_add_epi64(sums, _mm_unpackhi_epi32(blockSums, sign));
    }
    if (vectorEnd > 0) {
        int16_t lows[8], highs[8];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(lows), low);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(highs), high);
        for (int k = 0; k < 8; ++k) {
            minimum = std::min(minimum, uint16_t(uint16_t(lows[k]) ^ 0x8000u));
            maximum = std::max(maximum, uint16_t(uint16_t(highs[k]) ^ 0x8000u));
        }
        int64_t sumLanes[2];
        uint64_t squareLanes[2];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(sumLanes), sums);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(squareLanes), squareSums);
        const int64_t s = sumLanes[0] + sumLanes[1];
        const uint64_t n = vectorEnd;
        sum = s + int64_t(32768) * int64_t(n);
        squares = squareLanes[0] + squareLanes[1] + uint64_t(65536) * uint64_t(s) + (uint64_t(1) << 30) * n;
    }
#endif
    for (; i < count; ++i) {
        const uint16_t x = data[i];
        minimum = x < minimum ? x : minimum;
        maximum = maximum > x ? maximum : x;
        sum += x;
        squares += uint64_t(x) * x;
    }
}

void range16(const uint16_t *data, uint32_t count, uint16_t &minimum, uint16_t &maximum)
{
    uint32_t i = 0;
    minimum = 0xffff;
    maximum = 0;
#if defined(__SSE2__)
    // Signed lanes again, on the flipped values; the order of an integer
    // minimum or maximum does not matter.
    const __m128i flip = _mm_set1_epi16(int16_t(0x8000));
    __m128i low = _mm_set1_epi16(32767), high = _mm_set1_epi16(-32768);
    for (; i + 8 <= count; i += 8) {
        const __m128i s = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i)), flip);
        low = _mm_min_epi16(low, s);
        high = _mm_max_epi16(high, s);
    }
    int16_t lows[8], highs[8];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lows), low);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(highs), high);
    for (int k = 0; k < 8 && i > 0; ++k) {
        minimum = std::min(minimum, uint16_t(uint16_t(lows[k]) ^ 0x8000u));
        maximum = std::max(maximum, uint16_t(uint16_t(highs[k]) ^ 0x8000u));
    }
#endif
    for (; i < count; ++i) {
        const uint16_t x = data[i];
        minimum = x < minimum ? x : minimum;
        maximum = maximum > x ? maximum : x;
    }
}

void floatRangeOfFour(const float *const data[4], uint32_t count, uint32_t extra, ChunkStatistics<float> out[4])
{
    float minimum[4], maximum[4];
    uint32_t i = 0;
#if defined(__SSE2__)
    // As floatStatisticsOfFour: lane k folds chunk k in sample order.
    __m128 low = _mm_set1_ps(minMaxStart<float>().first);
    __m128 high = _mm_set1_ps(minMaxStart<float>().second);
    for (; i + 4 <= count; i += 4) {
        __m128 a = _mm_loadu_ps(data[0] + i), b = _mm_loadu_ps(data[1] + i);
        __m128 c = _mm_loadu_ps(data[2] + i), d = _mm_loadu_ps(data[3] + i);
        _MM_TRANSPOSE4_PS(a, b, c, d);
        low = _mm_min_ps(a, low);
        high = _mm_max_ps(high, a);
        low = _mm_min_ps(b, low);
        high = _mm_max_ps(high, b);
        low = _mm_min_ps(c, low);
        high = _mm_max_ps(high, c);
        low = _mm_min_ps(d, low);
        high = _mm_max_ps(high, d);
    }
    _mm_storeu_ps(minimum, low);
    _mm_storeu_ps(maximum, high);
#else
    for (int k = 0; k < 4; ++k) {
        minimum[k] = minMaxStart<float>().first;
        maximum[k] = minMaxStart<float>().second;
    }
#endif
    for (int k = 0; k < 4; ++k) {
        const uint32_t end = count + (k == 3 ? extra : 0);
        for (uint32_t j = i; j < end; ++j) {
            const float x = data[k][j];
            minimum[k] = (x < minimum[k]) ? x : minimum[k];
            maximum[k] = (maximum[k] > x) ? maximum[k] : x;
        }
        out[k].range = {minimum[k], maximum[k]};
        out[k].sums = SumData();
    }
}

void floatStatisticsOfFour(const float *const data[4], uint32_t count, uint32_t extra, ChunkStatistics<float> out[4])
{
    float minimum[4], maximum[4];
    double sum[4], squares[4];
    uint32_t i = 0;
#if defined(__SSE2__)
    // Lane k follows chunk k: four samples of each chunk are loaded and
    // transposed, so that every step brings the next sample of each. The
    // minimum and maximum instructions compare exactly as the scalar folds
    // do (NaN included), and each lane's double sums add in sample order.
    __m128 low = _mm_set1_ps(minMaxStart<float>().first);
    __m128 high = _mm_set1_ps(minMaxStart<float>().second);
    __m128d sumsAB = _mm_setzero_pd(), sumsCD = _mm_setzero_pd();
    __m128d squaresAB = _mm_setzero_pd(), squaresCD = _mm_setzero_pd();
    const auto step = [&](__m128 v) {
        low = _mm_min_ps(v, low);
        high = _mm_max_ps(high, v);
        const __m128d ab = _mm_cvtps_pd(v);
        const __m128d cd = _mm_cvtps_pd(_mm_movehl_ps(v, v));
        sumsAB = _mm_add_pd(sumsAB, ab);
        sumsCD = _mm_add_pd(sumsCD, cd);
        squaresAB = _mm_add_pd(squaresAB, _mm_mul_pd(ab, ab));
        squaresCD = _mm_add_pd(squaresCD, _mm_mul_pd(cd, cd));
    };
    for (; i + 4 <= count; i += 4) {
        __m128 a = _mm_loadu_ps(data[0] + i), b = _mm_loadu_ps(data[1] + i);
        __m128 c = _mm_loadu_ps(data[2] + i), d = _mm_loadu_ps(data[3] + i);
        _MM_TRANSPOSE4_PS(a, b, c, d);
        step(a);
        step(b);
        step(c);
        step(d);
    }
    _mm_storeu_ps(minimum, low);
    _mm_storeu_ps(maximum, high);
    _mm_storeu_pd(sum, sumsAB);
    _mm_storeu_pd(sum + 2, sumsCD);
    _mm_storeu_pd(squares, squaresAB);
    _mm_storeu_pd(squares + 2, squaresCD);
#else
    for (int k = 0; k < 4; ++k) {
        minimum[k] = minMaxStart<float>().first;
        maximum[k] = minMaxStart<float>().second;
        sum[k] = squares[k] = 0;
    }
#endif
    for (int k = 0; k < 4; ++k) {
        const uint32_t end = count + (k == 3 ? extra : 0);
        for (uint32_t j = i; j < end; ++j) {
            const float x = data[k][j];
            minimum[k] = (x < minimum[k]) ? x : minimum[k];
            maximum[k] = (maximum[k] > x) ? maximum[k] : x;
            const double v = double(x);
            sum[k] += v;
            squares[k] += v * v;
        }
        out[k].range = {minimum[k], maximum[k]};
        out[k].sums.sum = sum[k];
        out[k].sums.sumOfSquares = squares[k];
        out[k].sums.count = double(end);
    }
}
