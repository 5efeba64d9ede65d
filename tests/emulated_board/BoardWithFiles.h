#pragma once
// An emulated board behind the seam that leaves "cali.bin" to the real file system.

#include <sys/mman.h>

#include <mutex>
#include <set>
#include <string>

#include "EmulatedBoard.h"
#include "SystemAccess.h"

namespace VelmoraTest {

// The board behind the seam, except "cali.bin", which comes from the real
// working directory as it would on the board itself.
class BoardWithFiles : public Velmora::SystemAccess {
public:
    explicit BoardWithFiles(EmulatedBoard& emulated) : board(emulated) {}

    int open(const char* path, int flags) override {
        if (std::string(path) != "cali.bin") return board.open(path, flags);
        const int fd = Velmora::SystemAccess::open(path, flags);
        std::lock_guard<std::mutex> lock(mutex);
        if (fd >= 0) realFds.insert(fd);
        return fd;
    }
    int close(int fd) override {
        if (!takeFd(fd)) return board.close(fd);
        return Velmora::SystemAccess::close(fd);
    }
    int fstat(int fd, struct stat* st) override {
        return ownsFd(fd) ? Velmora::SystemAccess::fstat(fd, st) : board.fstat(fd, st);
    }
    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override {
        if (!ownsFd(fd)) return board.mmap(addr, length, prot, flags, fd, offset);
        void* p = Velmora::SystemAccess::mmap(addr, length, prot, flags, fd, offset);
        if (p == MAP_FAILED) return p;
        std::lock_guard<std::mutex> lock(mutex);
        realMaps.insert(p);
        return p;
    }
    int munmap(void* addr, size_t length) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (realMaps.erase(addr) == 0) return board.munmap(addr, length);
        }
        return Velmora::SystemAccess::munmap(addr, length);
    }
    int ioctl(int fd, unsigned long request, void* arg) override { return board.ioctl(fd, request, arg); }
    int poll(int fd, short events, int timeoutMs) override { return board.poll(fd, events, timeoutMs); }
    ssize_t readlink(const char* path, char* buffer, size_t size) override {
        return board.readlink(path, buffer, size);
    }
    bool listDirectory(const std::string& path, std::vector<std::string>& names) override {
        return board.listDirectory(path, names);
    }
    bool readFile(const std::string& path, std::string& contents, size_t maxBytes) override {
        return board.readFile(path, contents, maxBytes);
    }

    size_t held() {
        std::lock_guard<std::mutex> lock(mutex);
        return realFds.size() + realMaps.size();
    }

private:
    bool ownsFd(int fd) {
        std::lock_guard<std::mutex> lock(mutex);
        return realFds.count(fd) != 0;
    }
    bool takeFd(int fd) {
        std::lock_guard<std::mutex> lock(mutex);
        return realFds.erase(fd) != 0;
    }

    EmulatedBoard& board;
    std::mutex mutex;
    std::set<int> realFds;
    std::set<void*> realMaps;
};

}  // namespace VelmoraTest
