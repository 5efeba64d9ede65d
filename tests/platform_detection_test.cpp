#include <gtest/gtest.h>

#include <map>

#include "PlatformDetection.h"
#include "SystemAccess.h"

namespace Velmora {
namespace {

// A file system holding nothing but the files it is given.
class PreparedTree : public SystemAccess {
public:
    std::map<std::string, std::string> files;
    bool readFile(const std::string& path, std::string& contents, size_t maxBytes) override {
        auto it = files.find(path);
        if (it == files.end()) return false;
        contents = it->second.substr(0, maxBytes);
        return true;
    }
};

int detectWith(const char* model) {
    PreparedTree tree;
    if (model) tree.files["/sys/firmware/devicetree/base/model"] = std::string(model);
    ScopedSystemOverride use(tree);
    return detectPlatformModel();
}

TEST(PlatformDetection, BoardsFromTheModelText) {
    EXPECT_EQ(detectWith("NVIDIA Jetson Xavier NX Developer Kit"), 3);
    EXPECT_EQ(detectWith("NVIDIA Jetson Nano Developer Kit"), 2);
    EXPECT_EQ(detectWith("NVIDIA Jetson TX1"), 2);
    EXPECT_EQ(detectWith("NVIDIA Jetson AGX"), 3);
    EXPECT_EQ(detectWith("NVIDIA Orin Nano"), 3);
    EXPECT_EQ(detectWith("NVIDIA Jetson Orin Nano Developer Kit"), 2);
    EXPECT_EQ(detectWith(std::string("Raspberry Pi 5 Model B Rev 1.0\0", 31).c_str()), 6);
    EXPECT_EQ(detectWith("Raspberry Pi 4 Model B"), 5);
    EXPECT_EQ(detectWith("Radxa ROCK 5B"), 7);
    EXPECT_EQ(detectWith("Some Board"), 0);
    EXPECT_EQ(detectWith(nullptr), 0);
}

TEST(PlatformDetection, OnlyTheFirstLineAndNinetyNineCharactersCount) {
    EXPECT_EQ(detectWith((std::string(99, 'x') + "Jetson").c_str()), 0);
    EXPECT_EQ(detectWith((std::string(93, 'x') + "Jetson").c_str()), 3);
    EXPECT_EQ(detectWith("Generic\nRadxa ROCK"), 0);
    PreparedTree tree;
    tree.files["/sys/firmware/devicetree/base/model"] = std::string("Radxa\0 ROCK", 11);
    ScopedSystemOverride use(tree);
    EXPECT_EQ(detectPlatformModel(), 0);
}

TEST(PlatformDetection, OverrideIsScoped) {
    SystemAccess* before = &sys();
    {
        PreparedTree tree;
        ScopedSystemOverride use(tree);
        EXPECT_EQ(&sys(), &tree);
    }
    EXPECT_EQ(&sys(), before);
}

}  // namespace
}  // namespace Velmora
