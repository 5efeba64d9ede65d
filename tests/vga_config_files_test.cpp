// The three default configuration texts and their writer.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

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
    // Files may not grow past 1000 bytes: the camera text (9476) cannot be written whole.
    struct sigaction ignore {}, previousAction {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previousAction), 0);
    rlimit previousLimit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previousLimit), 0);
    rlimit limit = previousLimit;
    limit.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool written = Velmora::writeDefaultConfigFiles();
    ::setrlimit(RLIMIT_FSIZE, &previousLimit);
    ::sigaction(SIGXFSZ, &previousAction, nullptr);
    EXPECT_FALSE(written) << "a file the bytes never reached is not written";
}

// The working directory may be shared (/tmp): a planted link must not make the
// driver overwrite another file, a FIFO must not stop it, and what it writes
// is not writable by others whatever the umask.
TEST(VgaDefaultFiles, WritesOnlyItsOwnRegularFiles) {
    ScratchDir dir;
    writeFile("precious", "keep");
    std::filesystem::create_symlink("precious", "ConfigAlgorithm.json");
    EXPECT_FALSE(Velmora::writeDefaultConfigFiles());
    EXPECT_EQ(readFile("precious"), "keep");
    std::filesystem::remove("ConfigAlgorithm.json");

    std::filesystem::remove("register.json");
    ASSERT_EQ(::mkfifo("register.json", 0600), 0);
    EXPECT_FALSE(Velmora::writeDefaultConfigFiles());
    EXPECT_TRUE(std::filesystem::is_fifo("register.json"));
    std::filesystem::remove("register.json");

    const mode_t oldMask = ::umask(0);
    const bool written = Velmora::writeDefaultConfigFiles();
    ::umask(oldMask);
    ASSERT_TRUE(written);
    for (const char* name : {"ConfigAlgorithm.json", "ConfigCamera.json", "register.json"}) {
        struct stat st {};
        ASSERT_EQ(::stat(name, &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, 0644u) << name;
    }
}

}  // namespace
