#pragma once
// A file system and device tree made of fuzz data behind the driver's system
// seam. Files and directories are served from maps; opened descriptors are
// numbers of its own (never real ones), and it counts what stays open.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "SystemAccess.h"

namespace VelmoraFuzz {

class FuzzSeam : public Velmora::SystemAccess {
public:
    std::map<std::string, std::string> files;
    std::map<std::string, std::vector<std::string>> directories;
    std::map<std::string, std::string> links;
    // Paths that open as character devices, with their device numbers.
    std::map<std::string, dev_t> nodes;
    // Answers ioctls on an opened node: (path, request, argument) -> result, errno set on failure.
    std::function<int(const std::string&, unsigned long, void*)> onIoctl;

    int open(const char* path, int) override {
        const auto node = nodes.find(path);
        if (node == nodes.end()) {
            errno = ENOENT;
            return -1;
        }
        const int fd = nextFd++;
        openFds[fd] = path;
        return fd;
    }
    int close(int fd) override {
        if (openFds.erase(fd) == 0) {
            errno = EBADF;
            return -1;
        }
        return 0;
    }
    int ioctl(int fd, unsigned long request, void* arg) override {
        const auto open = openFds.find(fd);
        if (open == openFds.end()) {
            errno = EBADF;
            return -1;
        }
        if (!onIoctl) {
            errno = ENOTTY;
            return -1;
        }
        return onIoctl(open->second, request, arg);
    }
    void* mmap(void*, size_t, int, int, int, off_t) override {
        errno = ENODEV;
        return MAP_FAILED;
    }
    int munmap(void*, size_t) override {
        errno = EINVAL;
        return -1;
    }
    int fstat(int fd, struct stat* st) override {
        const auto open = openFds.find(fd);
        if (open == openFds.end()) {
            errno = EBADF;
            return -1;
        }
        std::memset(st, 0, sizeof(*st));
        st->st_mode = S_IFCHR | 0600;
        st->st_rdev = nodes[open->second];
        return 0;
    }
    int poll(int, short, int) override { return 1; }
    ssize_t readlink(const char* path, char* buffer, size_t size) override {
        const auto link = links.find(path);
        if (link == links.end()) {
            errno = ENOENT;
            return -1;
        }
        const size_t n = std::min(size, link->second.size());
        std::memcpy(buffer, link->second.data(), n);
        return static_cast<ssize_t>(n);
    }
    bool listDirectory(const std::string& path, std::vector<std::string>& names) override {
        const auto dir = directories.find(path);
        if (dir == directories.end()) return false;
        names = dir->second;
        return true;
    }
    bool readFile(const std::string& path, std::string& contents, size_t maxBytes) override {
        const auto file = files.find(path);
        if (file == files.end()) return false;
        contents = file->second.substr(0, maxBytes);
        return true;
    }

    size_t stillOpen() const { return openFds.size(); }

private:
    int nextFd = 1000;
    std::map<int, std::string> openFds;
};

}  // namespace VelmoraFuzz
