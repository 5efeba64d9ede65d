#include "SystemAccess.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>

namespace Velmora {

int SystemAccess::open(const char* path, int flags) { return ::open(path, flags); }
int SystemAccess::close(int fd) { return ::close(fd); }
int SystemAccess::ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
void* SystemAccess::mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(addr, length, prot, flags, fd, offset);
}
int SystemAccess::munmap(void* addr, size_t length) { return ::munmap(addr, length); }
int SystemAccess::fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int SystemAccess::poll(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, timeoutMs);
}
ssize_t SystemAccess::readlink(const char* path, char* buffer, size_t size) {
    return ::readlink(path, buffer, size);
}

bool SystemAccess::listDirectory(const std::string& path, std::vector<std::string>& names) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
    if (!dir) return false;
    names.clear();
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    return true;
}

bool SystemAccess::readFile(const std::string& path, std::string& contents, size_t maxBytes) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) return false;
    contents.clear();
    char buffer[4096];
    while (contents.size() < maxBytes) {
        size_t want = std::min(sizeof(buffer), maxBytes - contents.size());
        size_t got = std::fread(buffer, 1, want, file.get());
        contents.append(buffer, got);
        if (got < want) break;
    }
    return true;
}

int64_t SystemAccess::realtimeNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

int64_t SystemAccess::monotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {
SystemAccess& libcSystem() {
    static SystemAccess instance;
    return instance;
}
std::atomic<SystemAccess*> current{nullptr};
}  // namespace

SystemAccess& sys() {
    SystemAccess* active = current.load(std::memory_order_acquire);
    return active ? *active : libcSystem();
}

ScopedSystemOverride::ScopedSystemOverride(SystemAccess& replacement)
    : previous(current.exchange(&replacement, std::memory_order_acq_rel)) {}

ScopedSystemOverride::~ScopedSystemOverride() { current.store(previous, std::memory_order_release); }

}  // namespace Velmora
