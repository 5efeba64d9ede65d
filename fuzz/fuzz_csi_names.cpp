// The text rules of CSI discovery on arbitrary names and output sizes: the bus
// text from a video node's name and from a sensor entity's name, and the
// subdevice node from a sysfs link. Each result is what the rule says, is
// terminated inside the caller's buffer, and nothing is written beyond it.
//
// Input: byte 0 is the output size (0-15), byte 1 picks the rule, the rest is
// the name.

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "CsiDiscovery.h"
#include "FuzzCheck.h"

using namespace Velmora;

namespace {

// The rules as plain as they can be said.
bool expectedFromVideoName(const std::string& name, size_t size, std::string& bus) {
    bus.clear();
    const size_t at = name.find("velmora");
    if (at == std::string::npos) return false;
    const size_t blank = name.find(' ', at);
    if (blank == std::string::npos) return true;
    for (size_t i = blank + 1; i < name.size() && bus.size() + 1 < size && std::isdigit(static_cast<unsigned char>(name[i])); ++i)
        bus += name[i];
    return true;
}

bool expectedFromEntityName(const std::string& name, size_t size, std::string& bus) {
    bus.clear();
    const size_t blank = name.find(' ');
    if (blank == std::string::npos) return false;
    for (size_t i = blank + 1; i < name.size() && bus.size() < 7 && bus.size() + 1 < size; ++i) bus += name[i];
    bus = bus.substr(0, bus.find('-'));
    return true;
}

// The output buffer lies in an exact-size heap block: the sanitizer sees any
// write past `size`. What it holds is compared up to its terminator.
void checkBusText(bool (*rule)(const std::string&, char*, size_t),
                  bool (*expected)(const std::string&, size_t, std::string&), const std::string& name, size_t size) {
    std::unique_ptr<char[]> bus(new char[size == 0 ? 1 : size]);
    std::memset(bus.get(), 0x5a, size == 0 ? 1 : size);
    const bool ok = rule(name, bus.get(), size);
    if (size == 0) {
        FUZZ_CHECK(!ok);
        FUZZ_CHECK(bus[0] == 0x5a);
        return;
    }
    std::string want;
    const bool wantOk = expected(name, size, want);
    FUZZ_CHECK(ok == wantOk);
    FUZZ_CHECK(std::memchr(bus.get(), '\0', size) != nullptr);
    if (ok) {
        // An embedded zero byte in the name ends the text early; that is all a caller sees.
        FUZZ_CHECK(std::string(bus.get()) == std::string(want.c_str()));
    } else {
        FUZZ_CHECK(bus[0] == '\0');
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t outSize = data[0] & 15;
    const int rule = data[1] % 3;
    const std::string name(reinterpret_cast<const char*>(data + 2), size - 2);
    switch (rule) {
    case 0:
        checkBusText(busTextFromVideoName, expectedFromVideoName, name, outSize);
        break;
    case 1:
        checkBusText(busTextFromEntityName, expectedFromEntityName, name, outSize);
        break;
    default: {
        const std::string node = subdevNodeFromLink(name);
        const size_t slash = name.rfind('/');
        if (slash == std::string::npos || name.compare(slash, 11, "/v4l-subdev") != 0) {
            FUZZ_CHECK(node.empty());
        } else {
            FUZZ_CHECK(node == "/dev" + name.substr(slash));
        }
        break;
    }
    }
    return 0;
}
