#pragma once
// Owners for descriptors and mappings obtained through the system seam.
// Each releases through sys() exactly once; moving transfers ownership.

#include <cstddef>
#include <utility>

#include "SystemAccess.h"

namespace Velmora {

class ScopedFd {
public:
    ScopedFd() = default;
    explicit ScopedFd(int fd) : fd_(fd) {}
    ~ScopedFd() { reset(); }
    ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
    ScopedFd& operator=(ScopedFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor (if any) and takes `fd`; the close result, 0 when nothing was held.
    int reset(int fd = -1) {
        int old = std::exchange(fd_, fd);
        return old >= 0 ? sys().close(old) : 0;
    }

private:
    int fd_ = -1;
};

class ScopedMapping {
public:
    ScopedMapping() = default;
    ScopedMapping(void* address, size_t length) : address_(address), length_(length) {}
    ~ScopedMapping() { reset(); }
    ScopedMapping(ScopedMapping&& other) noexcept
        : address_(std::exchange(other.address_, nullptr)), length_(std::exchange(other.length_, 0)) {}
    ScopedMapping& operator=(ScopedMapping&& other) noexcept {
        if (this != &other) {
            reset();
            address_ = std::exchange(other.address_, nullptr);
            length_ = std::exchange(other.length_, 0);
        }
        return *this;
    }
    ScopedMapping(const ScopedMapping&) = delete;
    ScopedMapping& operator=(const ScopedMapping&) = delete;

    const unsigned char* data() const { return static_cast<const unsigned char*>(address_); }
    size_t length() const { return length_; }
    bool valid() const { return address_ != nullptr; }
    // Unmaps (if mapped); the munmap result, 0 when nothing was mapped.
    int reset() {
        if (!address_) return 0;
        void* address = std::exchange(address_, nullptr);
        return sys().munmap(address, std::exchange(length_, 0));
    }

private:
    void* address_ = nullptr;
    size_t length_ = 0;
};

}  // namespace Velmora
