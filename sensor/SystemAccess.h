#pragma once
// The one seam between the driver and the kernel / file system.
// Every device, sysfs and procfs access of the driver goes through sys();
// tests install an emulated board with ScopedSystemOverride.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Velmora {

class SystemAccess {
public:
    virtual ~SystemAccess() = default;
    // libc semantics: -1 / MAP_FAILED with errno set on failure.
    virtual int open(const char* path, int flags);
    virtual int close(int fd);
    virtual int ioctl(int fd, unsigned long request, void* arg);
    virtual void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
    virtual int munmap(void* addr, size_t length);
    virtual int fstat(int fd, struct stat* st);
    virtual int poll(int fd, short events, int timeoutMs);
    virtual ssize_t readlink(const char* path, char* buffer, size_t size);
    // Entry names of a directory without "." and "..", in the order the kernel yields them; false when unreadable.
    virtual bool listDirectory(const std::string& path, std::vector<std::string>& names);
    // Up to `maxBytes` bytes of a file; false when it cannot be opened.
    virtual bool readFile(const std::string& path, std::string& contents, size_t maxBytes = 65536);
    // Clocks in nanoseconds: wall time since the epoch (may step), and a
    // monotonic clock for measuring intervals.
    virtual int64_t realtimeNanoseconds();
    virtual int64_t monotonicNanoseconds();
};

// The seam currently in use (libc and the real paths unless overridden).
SystemAccess& sys();

// Puts `replacement` behind sys() for the lifetime of this object.
class ScopedSystemOverride {
public:
    explicit ScopedSystemOverride(SystemAccess& replacement);
    ~ScopedSystemOverride();
    ScopedSystemOverride(const ScopedSystemOverride&) = delete;
    ScopedSystemOverride& operator=(const ScopedSystemOverride&) = delete;

private:
    SystemAccess* previous;
};

}  // namespace Velmora
