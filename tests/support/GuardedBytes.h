#pragma once
// A destination of `length` bytes followed by guard bytes: a write past its end
// shows up as a changed guard.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace VelmoraTest {

struct GuardedBytes {
    explicit GuardedBytes(size_t size, size_t guard = 64) : bytes(size + guard, 0xCC), length(size) {}
    bool guardIntact() const {
        for (size_t i = length; i < bytes.size(); ++i)
            if (bytes[i] != 0xCC) return false;
        return true;
    }
    std::vector<uint8_t> bytes;
    size_t length;
};

}  // namespace VelmoraTest
