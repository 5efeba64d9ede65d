// The set-up command for the control chip's bus: the bus the driver finds on
// each board, the rule for that bus alone, and how the rule file is written.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "BoardSession.h"
#include "ControlBusAccess.h"

using namespace VelmoraTest;
using Velmora::ControlBus;

namespace {

struct Found {
    explicit Found(const BoardOptions& options) : session(options) {
        ok = Velmora::findControlBus(options.platformModel, "/dev/video0", bus, why);
    }
    BoardSession session;
    ControlBus bus;
    std::string why;
    bool ok = false;
};

std::string adapterName(const BoardOptions& options, int number) {
    for (const AdapterSetup& adapter : options.adapters) {
        if (adapter.number == number) return adapter.name;
    }
    return "?";
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct TempDir {
    TempDir() {
        char pattern[] = "/tmp/velmora-access-test-XXXXXX";
        path = ::mkdtemp(pattern) ? pattern : "";
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

}  // namespace

TEST(ControlBusAccess, FindsTheBusTheDriverUsesOnEveryBoard) {
    for (int model : {2, 3, 5, 6, 7}) {
        SCOPED_TRACE(model);
        Found found(boardPreset(model));
        ASSERT_TRUE(found.ok) << found.why;
        EXPECT_EQ(found.bus.number, found.session.board.options().cameraBus);
        EXPECT_EQ(found.bus.adapterName, adapterName(found.session.board.options(), found.bus.number));
        EXPECT_TRUE(found.bus.opened);
        // Nothing of the board stays open; the chip was only asked for its calibration header.
        expectNothingHeld(found.session.board);
        const std::vector<VelmoraTest::I2cTransfer> transfers = found.session.board.i2cTransfers();
        ASSERT_EQ(transfers.size(), 2u);
        EXPECT_EQ(transfers[0].messages[0].data, (std::vector<uint8_t>{0x06, 0x31, 0x00, 0x50, 0x02, 0x00}));
        EXPECT_EQ(found.session.board.chipFrameRate(), -1);
    }
}

TEST(ControlBusAccess, FindsTheBusWhenTheUserMayNotOpenIt) {
    // The rule is needed exactly when the bus node refuses this user.
    BoardSession session(boardPreset(5));
    session.board.injectFault({Call::Open, 0, "/dev/i2c-", EACCES, 0, -1});
    ControlBus bus;
    std::string why;
    ASSERT_TRUE(Velmora::findControlBus(5, "/dev/video0", bus, why)) << why;
    EXPECT_EQ(bus.number, 10);
    EXPECT_FALSE(bus.opened);
    expectNothingHeld(session.board);
}

TEST(ControlBusAccess, NoCameraNoBus) {
    BoardOptions jetson = boardPreset(2);
    jetson.videoName = "vi-output, other-sensor 2-0010";
    BoardOptions pi = boardPreset(5);
    pi.entities[0].name = "other-sensor 10-0010";
    BoardOptions unknownBus = boardPreset(3);
    unknownBus.videoName = "vi-output, velmora-marquenty 12-000c";
    for (const BoardOptions& options : {jetson, pi, boardPreset(0)}) {
        SCOPED_TRACE(options.platformModel);
        Found found(options);
        EXPECT_FALSE(found.ok);
        EXPECT_EQ(found.bus.number, -1);
        EXPECT_FALSE(found.why.empty());
        expectNothingHeld(found.session.board);
    }
    // A bus number the adapter list lacks is still that bus; only its name is unknown.
    Found renamed(unknownBus);
    ASSERT_TRUE(renamed.ok) << renamed.why;
    EXPECT_EQ(renamed.bus.number, 12);
    EXPECT_EQ(renamed.bus.adapterName, "");
    EXPECT_FALSE(renamed.bus.opened);
}

TEST(ControlBusAccess, GrantsNoBusOfANodeThatIsNotTheCsiCamera) {
    const std::string usbParent = "../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/video4linux/video0";
    struct Case {
        const char* what;
        int model;
        std::string videoName, link;  // of /sys/dev/char/81:0; empty: the preset's
        std::vector<uint8_t> store;
        bool nodePassed = false;  // only then may anything be sent to the bus
    };
    const std::vector<Case> cases = {
        {"a name that only contains the camera's", 2, "velmora 1", "", {}},
        {"a USB camera's product string", 2, "USB2.0 velmora 0 Camera", "", {}},
        {"more after the camera's name", 2, "vi-output, velmora-marquenty 9-000c 1", "", {}},
        {"the camera's name on a USB node", 2, "", usbParent, {}},
        {"a USB node on a media board", 6, "", usbParent, {}},
        {"no chip on the bus the name claims", 3, "vi-output, velmora-marquenty 8-000c", "", {}, true},
        {"a chip without the camera's calibration", 5, "", "", {0xff, 0xff}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BoardOptions options = boardPreset(c.model);
        if (!c.videoName.empty()) options.videoName = c.videoName;
        options.calibrationStore = c.store;
        BoardSession session(options);
        if (!c.link.empty()) session.board.setLink("/sys/dev/char/81:0", c.link);
        ControlBus bus;
        std::string why;
        EXPECT_FALSE(Velmora::findControlBus(c.model, "/dev/video0", bus, why));
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(!session.board.i2cTransfers().empty(), c.nodePassed);
        expectNothingHeld(session.board);
    }
}

TEST(ControlBusAccess, RuleForThatBusAlone) {
    EXPECT_EQ(Velmora::controlBusRules({10, "i2c-11-mux (chan_id 1)"}, "video", "/dev/video0"),
              "# I2C bus 10 (\"i2c-11-mux (chan_id 1)\"), the bus of the control chip of the Velmora depth\n"
              "# camera at /dev/video0, for the video group; no other bus. Written by\n"
              "# velmora-i2c-access; delete this file to take the access back.\n"
              "SUBSYSTEM==\"i2c-dev\", KERNEL==\"i2c-10\", ATTR{name}==\"i2c-11-mux (chan_id 1)\", "
              "GROUP=\"video\", MODE=\"0660\"\n");
    // Glob and quoting characters of an adapter name cannot widen the match or end the value.
    const std::string odd = Velmora::controlBusRules({4, "bus \"a\" [0-9]*|x\\\n  "}, "i2c", "/dev/video2");
    EXPECT_NE(odd.find("KERNEL==\"i2c-4\", ATTR{name}==\"bus ?a? ?0-9???x??\", GROUP=\"i2c\", MODE=\"0660\"\n"),
              std::string::npos)
        << odd;
    const std::string nameless = Velmora::controlBusRules({12, ""}, "video", "/dev/video0");
    EXPECT_NE(nameless.find("\nSUBSYSTEM==\"i2c-dev\", KERNEL==\"i2c-12\", GROUP=\"video\", MODE=\"0660\"\n"),
              std::string::npos)
        << nameless;

    for (const char* good : {"video", "i2c", "_camera", "cam-users2"}) EXPECT_TRUE(Velmora::isGroupName(good)) << good;
    for (const char* bad : {"", "Video", "2cam", "vid eo", "video\"", "a\nb", "x$"})
        EXPECT_FALSE(Velmora::isGroupName(bad)) << bad;
}

TEST(ControlBusAccess, WritesTheRuleFileWhole) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.path + "/61-velmora-camera-i2c.rules";
    const mode_t oldMask = ::umask(077);
    std::string why;
    EXPECT_TRUE(Velmora::writeRulesFile(path, "first\n", why)) << why;
    EXPECT_TRUE(Velmora::writeRulesFile(path, "second\n", why)) << why;
    ::umask(oldMask);
    EXPECT_EQ(readWhole(path), "second\n");
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    // A link planted at the destination is replaced; its target stays as it was.
    const std::string target = dir.path + "/elsewhere";
    std::ofstream(target) << "keep\n";
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    EXPECT_TRUE(Velmora::writeRulesFile(path, "third\n", why)) << why;
    EXPECT_EQ(readWhole(target), "keep\n");
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    // Nothing but the file and the link's target is left in the directory.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), std::filesystem::directory_iterator()), 2);

    EXPECT_FALSE(Velmora::writeRulesFile(dir.path + "/missing/x.rules", "x\n", why));
    EXPECT_NE(why.find("missing"), std::string::npos) << why;
}

namespace {

struct CommandRun {
    CommandRun(const std::vector<std::string>& arguments, const std::string& rulesPath) {
        std::ostringstream outStream, errStream;
        status = Velmora::runI2cAccessCommand(arguments, rulesPath, outStream, errStream);
        out = outStream.str();
        err = errStream.str();
    }
    int status;
    std::string out;
    std::string err;
};

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(I2cAccessCommand, ShowsThenInstallsTheRuleOnTheBoard) {
    TempDir dir;
    const std::string path = dir.path + "/61-velmora-camera-i2c.rules";
    BoardSession session(boardPreset(6));

    CommandRun shown({"--csi", "0"}, path);
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, Velmora::controlBusRules({4, "rp1 I2C adapter", true}, "video", "/dev/video0"));
    EXPECT_NE(shown.err.find("nothing written"), std::string::npos) << shown.err;
    EXPECT_FALSE(exists(path));

    CommandRun written({"--write", "--group", "plugdev"}, path);
    EXPECT_EQ(written.status, 0) << written.err;
    EXPECT_EQ(readWhole(path), written.out);
    EXPECT_NE(written.out.find("KERNEL==\"i2c-4\", ATTR{name}==\"rp1 I2C adapter\", GROUP=\"plugdev\""),
              std::string::npos)
        << written.out;
    EXPECT_NE(written.err.find("udevadm trigger --action=change /sys/class/i2c-dev/i2c-4"), std::string::npos);
    expectNothingHeld(session.board);
}

TEST(I2cAccessCommand, InstallsNothingItCannotStandBehind) {
    TempDir dir;
    const std::string path = dir.path + "/61-velmora-camera-i2c.rules";
    // A bus without I2C transfers is not the control chip's: the rule is shown, not installed.
    BoardOptions smbusOnly = boardPreset(2);
    smbusOnly.i2cFunctionality = 0x0eff0000;
    BoardSession session(smbusOnly);
    CommandRun refused({"--write"}, path);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("KERNEL==\"i2c-9\""), std::string::npos) << refused.out;
    EXPECT_NE(refused.err.find("shown but not installed"), std::string::npos) << refused.err;

    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--csi", "x", "--write"}, {"--csi"}, {"--group", "Bad\"name", "--write"},
          {"--group", "velmora-no-such-group", "--write"}, {"--write", "--frobnicate"}}) {
        CommandRun bad(arguments, path);
        EXPECT_EQ(bad.status, 2) << bad.err;
        EXPECT_EQ(bad.out, "");
    }
    EXPECT_EQ(CommandRun({"--help"}, path).status, 0);
    EXPECT_FALSE(exists(path));
}
