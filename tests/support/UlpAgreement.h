#pragma once
// Agreement of a faster float computation with its scalar reference: equal on
// at least 99.99 % of the values and at most one unit in the last place apart
// on the rest.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

namespace VelmoraTest {

// Distance in representable floats; NaN against anything but the same NaN is "far".
inline int64_t ulpDistance(float a, float b) {
    int32_t ia, ib;
    std::memcpy(&ia, &a, sizeof ia);
    std::memcpy(&ib, &b, sizeof ib);
    if (ia == ib) return 0;
    if (std::isnan(a) || std::isnan(b)) return INT64_MAX;
    // Map the sign-magnitude bit patterns onto one ordered integer line.
    const int64_t oa = ia < 0 ? -static_cast<int64_t>(ia & 0x7fffffff) : ia;
    const int64_t ob = ib < 0 ? -static_cast<int64_t>(ib & 0x7fffffff) : ib;
    return oa > ob ? oa - ob : ob - oa;
}

struct Agreement {
    uint64_t total = 0;
    uint64_t equal = 0;
    uint64_t oneUlp = 0;
    uint64_t worse = 0;
    std::string firstWorse;

    void add(const float* got, const float* want, size_t n, const char* what = "") {
        for (size_t i = 0; i < n; ++i) {
            const int64_t d = ulpDistance(got[i], want[i]);
            ++total;
            if (d == 0) {
                ++equal;
            } else if (d == 1) {
                ++oneUlp;
            } else {
                if (worse++ == 0) {
                    std::ostringstream s;
                    s.precision(9);
                    s << what << "[" << i << "]: got " << got[i] << ", reference " << want[i];
                    firstWorse = s.str();
                }
            }
        }
    }

    // The rule: no value further than one ulp, and equal on >= 99.99 %.
    ::testing::AssertionResult holds() const {
        if (total == 0) return ::testing::AssertionFailure() << "nothing compared";
        if (worse > 0)
            return ::testing::AssertionFailure() << worse << " of " << total << " values more than 1 ulp off; first "
                                                 << firstWorse;
        if (equal * 10000 < total * 9999)
            return ::testing::AssertionFailure()
                   << "only " << equal << " of " << total << " values equal (" << oneUlp << " at 1 ulp)";
        return ::testing::AssertionSuccess();
    }
};

}  // namespace VelmoraTest
