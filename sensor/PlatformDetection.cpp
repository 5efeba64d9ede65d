#include "PlatformDetection.h"

#include "SystemAccess.h"

namespace Velmora {

int32_t classifyPlatformModel(const std::string& modelText) {
    auto has = [&](const char* word) { return modelText.find(word) != std::string::npos; };
    if (has("Jetson")) {
        if (has("Xavier")) return 3;
        if (has("TX1") || has("Nano")) return 2;
        return 3;
    }
    if (has(" Orin")) return 3;
    if (has("Raspberry")) return has("Pi 5") ? 6 : 5;
    if (has("Radxa ROCK")) return 7;
    return 0;
}

int32_t detectPlatformModel() {
    std::string text;
    // Only the first 99 characters of the first line count.
    if (!sys().readFile("/sys/firmware/devicetree/base/model", text, 99)) return 0;
    size_t end = text.find_first_of(std::string("\n\0", 2));
    if (end != std::string::npos) text.resize(end);
    return classifyPlatformModel(text);
}

}  // namespace Velmora
