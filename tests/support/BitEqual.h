#pragma once
// Bit-for-bit equality of float planes: a faster path must give exactly what
// its scalar reference gives (the same zero sign, the same last place).

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <sstream>

namespace VelmoraTest {

inline ::testing::AssertionResult bitEqual(const float* got, const float* want, size_t n, const char* what) {
    for (size_t i = 0; i < n; ++i) {
        if (std::memcmp(got + i, want + i, sizeof(float)) != 0) {
            std::ostringstream s;
            s.precision(9);
            s << what << "[" << i << "]: got " << got[i] << ", reference " << want[i];
            return ::testing::AssertionFailure() << s.str();
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace VelmoraTest
