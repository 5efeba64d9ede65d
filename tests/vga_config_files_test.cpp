// The three default configuration texts and their writer.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <sstream>
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

// Sections of the camera text: header -> its lines.
std::vector<std::pair<std::string, std::vector<std::string>>> sections(std::string_view text) {
    std::vector<std::pair<std::string, std::vector<std::string>>> out;
    for (const std::string& line : lines(text)) {
        if (!line.empty() && line.front() == '[') out.push_back({line, {}});
        else if (!line.empty()) out.back().second.push_back(line);
    }
    return out;
}

// "0x" + `addressDigits` hex digits + "=0x" + `valueDigits` hex digits.
bool isHexAssignment(const std::string& line, size_t addressDigits, size_t valueDigits) {
    if (line.size() != 2 + addressDigits + 3 + valueDigits) return false;
    if (line.compare(0, 2, "0x") != 0 || line.compare(2 + addressDigits, 3, "=0x") != 0) return false;
    for (size_t i = 0; i < line.size(); ++i) {
        const bool digit = (i >= 2 && i < 2 + addressDigits) || i >= 5 + addressDigits;
        if (digit && !std::isxdigit(static_cast<unsigned char>(line[i]))) return false;
    }
    return true;
}

std::string valueOf(const std::vector<std::string>& body, const std::string& key) {
    for (const std::string& line : body)
        if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
    return "<missing>";
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

TEST(VgaDefaultTexts, CameraTextSectionsAndKeys) {
    const auto secs = sections(defaultCameraConfig);
    ASSERT_EQ(secs.size(), 8u);
    EXPECT_EQ(secs[0].first, "[VideoInfo]");
    EXPECT_EQ(secs[0].second, (std::vector<std::string>{"sensorType=TOF", "sensorPath=/dev/v4l-subdev2",
                                                         "ispPath=/dev/video11", "subIspPath=/dev/v4l-subdev3"}));
    const std::vector<std::tuple<std::string, std::string, std::string>> modes = {
        {"[Signle-4PHASE]", "0", "1"},         {"[Signle-4PHASE_GRAY]", "0", "2"},
        {"[Double-4PHASE_4PHASE]", "1", "10"}, {"[Double-4PHASE_GRAY_4PHASE_BG]", "1", "11"},
        {"[Gray-Only]", "8", "19"},            {"[BGOUTDOOR]", "7", "18"},
        {"[Signal-BG-GRAY-BG-4PHASE]", "0", "8"}};
    std::vector<std::string> firstKeys;
    for (size_t i = 0; i < modes.size(); ++i) {
        const auto& [header, workMode, subWorkMode] = modes[i];
        const auto& body = secs[i + 1].second;
        ASSERT_EQ(secs[i + 1].first, header);
        ASSERT_EQ(body.size(), 59u) << header;
        EXPECT_EQ(body[0], "WorkMode=" + workMode);
        EXPECT_EQ(body[1], "SubWorkMode=" + subWorkMode);
        // The same 59 lines in the same order: compare keys with the first section.
        std::vector<std::string> keys;
        int comments = 0;
        for (const std::string& line : body) {
            keys.push_back(line.substr(0, line.find('=')));
            comments += line.compare(0, 2, "//") == 0;
        }
        EXPECT_EQ(comments, 6) << header;
        if (i == 0) {
            firstKeys = keys;
        } else {
            EXPECT_EQ(keys, firstKeys) << header;
        }
        // Keys every section shares.
        EXPECT_EQ(valueOf(body, "FrameSeqSchedule3"), "3");
        EXPECT_EQ(valueOf(body, "Frame2_SpecialPhaseDiv"), "24");
        EXPECT_EQ(valueOf(body, "EnableLedMod"), "1");
        EXPECT_EQ(valueOf(body, "performClkChanges"), "0");
    }
    EXPECT_EQ(firstKeys[2], "//SubFrameModes0");
    EXPECT_EQ(firstKeys[7], "//SpecialFrameModes");
    EXPECT_EQ(firstKeys[12], "SpecBgMode");
    EXPECT_EQ(firstKeys[18], "//IntegrationTimes");
    EXPECT_EQ(firstKeys[19], "Frame0_1To4IntTime");
    EXPECT_EQ(firstKeys[30], "Frame3_SpecialIntTime");
    EXPECT_EQ(firstKeys[31], "//PLLDLLDivs");
    EXPECT_EQ(firstKeys[44], "//NumSubFramePerFrame");
    EXPECT_EQ(firstKeys[49], "MirrorMode");
    EXPECT_EQ(firstKeys[58], "performClkChanges");

    // Values that differ between sections.
    EXPECT_EQ(valueOf(secs[4].second, "Frame1_1To4PhaseDiv"), "24");
    EXPECT_EQ(valueOf(secs[4].second, "SubFrameModes1"), "5");
    EXPECT_EQ(valueOf(secs[7].second, "MIPI_FS_FE_Pos"), "3");
    EXPECT_EQ(valueOf(secs[7].second, "Frame3_1To4PhaseDiv"), "4");
    EXPECT_EQ(valueOf(secs[6].second, "SpecialFrameModes0"), "2");
    EXPECT_EQ(valueOf(secs[2].second, "//IntegrationTimes"), "{{1000000,0,1000000},{0,0,0},{0,0,0},{0,0,0}}");
    EXPECT_EQ(valueOf(secs[3].second, "//PLLDLLDivs"), "{{5,2,24},{2,2,24},{2,2,24},{2,2,24}}");
    EXPECT_EQ(valueOf(secs[5].second, "Frame0_1To4IntTime"), "0");
}

TEST(VgaDefaultTexts, RegisterText) {
    const auto all = lines(defaultRegisterConfig);
    ASSERT_EQ(all.size(), 1u + 24 + 1 + 8 + 1 + 1 + 35);
    EXPECT_EQ(all[0], "[SENSOR]");
    for (size_t i = 1; i <= 24; ++i) EXPECT_TRUE(isHexAssignment(all[i], 4, 8)) << all[i];
    EXPECT_EQ(all[1], "0x0C28=0x00000000");
    EXPECT_EQ(all[2], "0x0C02=0x00011410");
    EXPECT_EQ(all[3], "0x0224=0x00000001");
    EXPECT_EQ(all[24], "0x0429=0x00989680");
    EXPECT_EQ(all[25], "");
    for (size_t i = 26; i < 34; ++i) EXPECT_TRUE(isHexAssignment(all[i], 4, 8)) << all[i];
    EXPECT_EQ(all[26], "0x0722=0x00072020");
    EXPECT_EQ(all[33], "0x070D=0x00009c01");
    EXPECT_EQ(all[34], "");
    EXPECT_EQ(all[35], "[VDRIVER]");

    std::vector<int> addresses;
    for (int a = 0x00; a <= 0x13; ++a) addresses.push_back(a);
    for (int a = 0x23; a <= 0x29; ++a) addresses.push_back(a);
    for (int a = 0x2b; a <= 0x32; ++a) addresses.push_back(a);
    for (size_t i = 0; i < addresses.size(); ++i) {
        const std::string& line = all[36 + i];
        ASSERT_TRUE(isHexAssignment(line, 2, 2)) << line;
        EXPECT_EQ(std::stoi(line.substr(2, 2), nullptr, 16), addresses[i]) << line;
    }
    EXPECT_EQ(all[36], "0x00=0x10");
    EXPECT_EQ(all[37], "0x01=0x7a");
    EXPECT_EQ(all.back(), "0x32=0x00");
}

TEST(VgaDefaultFiles, WritesExactlyTheThreeFiles) {
    ScratchDir dir;
    ASSERT_TRUE(Velmora::writeDefaultConfigFiles());
    std::map<std::string, uintmax_t> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        found[entry.path().filename().string()] = entry.file_size();
    EXPECT_EQ(found, (std::map<std::string, uintmax_t>{
                         {"ConfigAlgorithm.json", 273}, {"ConfigCamera.json", 9476}, {"register.json", 946}}));
    EXPECT_EQ(readFile("ConfigCamera.json"), defaultCameraConfig);
}

TEST(VgaDefaultFiles, ReplacesChangedFiles) {
    ScratchDir dir;
    writeFile("ConfigCamera.json", std::string(20000, 'x'));
    writeFile("register.json", "[SENSOR]\n0x0000=0x00000000");
    ASSERT_TRUE(Velmora::writeDefaultConfigFiles());
    EXPECT_EQ(readFile("ConfigCamera.json"), defaultCameraConfig) << "a longer file is truncated";
    EXPECT_EQ(readFile("register.json"), defaultRegisterConfig);
}

TEST(VgaDefaultFiles, DirectoryInPlaceOfTheCameraFile) {
    ScratchDir dir;
    writeFile("ConfigAlgorithm.json", "old");
    writeFile("register.json", "old register");
    std::filesystem::create_directory("ConfigCamera.json");
    EXPECT_FALSE(Velmora::writeDefaultConfigFiles());
    EXPECT_EQ(readFile("ConfigAlgorithm.json"), defaultAlgorithmConfig);
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
