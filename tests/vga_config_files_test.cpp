// The three default configuration texts and their writer.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DefaultConfigFiles.h"
#include "vga_test_support.h"

namespace {

using Velmora::defaultAlgorithmConfig;
using Velmora::defaultCameraConfig;
using Velmora::defaultRegisterConfig;
using vgatest::readFile;
using vgatest::ScratchDir;
using vgatest::writeFile;

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> out;
    std::string current;
    for (char c : text) {
        if (c == '\n') {
            out.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    out.push_back(current);  // after a final line feed this is the empty remainder
    return out;
}

TEST(VgaDefaultTexts, SizesAndLineEndings) {
    EXPECT_EQ(defaultAlgorithmConfig.size(), 273u);
    EXPECT_EQ(defaultCameraConfig.size(), 9476u);
    EXPECT_EQ(defaultRegisterConfig.size(), 946u);
    EXPECT_EQ(defaultAlgorithmConfig.back(), '\n');
    EXPECT_NE(defaultCameraConfig.back(), '\n');
    EXPECT_NE(defaultRegisterConfig.back(), '\n');
    for (std::string_view text : {defaultAlgorithmConfig, defaultCameraConfig, defaultRegisterConfig}) {
        EXPECT_EQ(text.find('\r'), std::string_view::npos);
        EXPECT_EQ(text.find(" ="), std::string_view::npos);
        EXPECT_EQ(text.find("= "), std::string_view::npos);
        EXPECT_EQ(text.find(" \n"), std::string_view::npos);
        EXPECT_EQ(text.find("\n\n\n"), std::string_view::npos) << "one empty line between sections";
    }
}

TEST(VgaDefaultTexts, AlgorithmText) {
    const auto all = lines(defaultAlgorithmConfig);
    const std::vector<std::string> expected = {
        "[DenoisingParams]", "TDenoiseLevel_Depth=3", "SDenoiseLevel_Depth=3", "TDenoiseMethod_Depth=1",
        "SDenoiseMethod_Depth=1", "TDenoiseLevel_Gray=1", "SDenoiseLevel_Gray=1", "TDenoiseMethod_Gray=1",
        "SDenoiseMethod_Gray=1", "", "[RepairParams]", "ERDOLvl=3", "", "[ConfidenceParams]", "ValidDistMin=0",
        "ValidDistMax=7000", ""};
    EXPECT_EQ(all, expected);
}

TEST(VgaDefaultFiles, WritesExactlyTheThreeFiles) {
    ScratchDir dir;
    ASSERT_TRUE(Velmora::writeDefaultConfigFiles());
    std::map<std::string, uintmax_t> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        found[entry.path().filename().string()] = entry.file_size();
    EXPECT_EQ(found, (std::map<std::string, uintmax_t>{
                         {"ConfigAlgorithm.json", 273}, {"ConfigCamera.json", 9476}, {"register.json", 946}}));
    vgatest::expectDefaultFiles();
}

TEST(VgaDefaultFiles, ReplacesChangedFiles) {
    ScratchDir dir;
    writeFile("ConfigCamera.json", std::string(20000, 'x'));
    writeFile("register.json", "[SENSOR]\n0x0000=0x00000000");
    ASSERT_TRUE(Velmora::writeDefaultConfigFiles());
    EXPECT_TRUE(vgatest::isDefaultFile("ConfigCamera.json")) << "a longer file is truncated";
    EXPECT_TRUE(vgatest::isDefaultFile("register.json"));
}

TEST(VgaDefaultFiles, DirectoryInPlaceOfTheCameraFile) {
    ScratchDir dir;
    writeFile("ConfigAlgorithm.json", "old");
    writeFile("register.json", "old register");
    std::filesystem::create_directory("ConfigCamera.json");
    EXPECT_FALSE(Velmora::writeDefaultConfigFiles());
    EXPECT_TRUE(vgatest::isDefaultFile("ConfigAlgorithm.json"));
    EXPECT_TRUE(std::filesystem::is_directory("ConfigCamera.json"));
    EXPECT_EQ(readFile("register.json"), "old register");
}

TEST(VgaDefaultFiles, FirstFileBlockedTouchesNothingElse) {
    ScratchDir dir;
    std::filesystem::create_directory("ConfigAlgorithm.json");
    EXPECT_FALSE(Velmora::writeDefaultConfigFiles());
    EXPECT_FALSE(std::filesystem::exists("ConfigCamera.json"));
    EXPECT_FALSE(std::filesystem::exists("register.json"));
}

TEST(VgaDefaultFiles, FailedWriteIsReported) {
    ScratchDir dir;
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    std::filesystem::create_symlink("/dev/full", "register.json");
    EXPECT_FALSE(Velmora::writeDefaultConfigFiles()) << "a file the bytes never reached is not written";
}

}  // namespace
