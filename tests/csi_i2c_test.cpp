// i2c-dev functions, bus lookup and the control chip's commands on emulated boards.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <cstring>
#include <string>
#include <vector>

#include "BoardSession.h"
#include "I2cAccess.h"

using namespace VelmoraTest;
using Velmora::lookupI2cBus;
using Velmora::sys;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

bool readsAnyAdapterList(const EmulatedBoard& board) {
    for (const CallRecord& call : board.calls()) {
        if (call.call == Call::ReadFile && (call.target == "/proc/bus/i2c" || call.target == "/proc/mounts")) return true;
        if (call.call == Call::ListDirectory) return true;
    }
    return false;
}

}  // namespace

TEST(I2cDevFunctions, OpenFormatsNameAndOpensNode) {
    BoardSession session(2);
    char name[20];
    int fd = i2c_open_i2c_dev(9, name, sizeof(name), 0);
    ASSERT_GE(fd, 0);
    EXPECT_STREQ(name, "/dev/i2c-9");
    EXPECT_EQ(session.board.openPaths(), std::vector<std::string>{"/dev/i2c-9"});
    EXPECT_EQ(sys().close(fd), 0);
}

TEST(I2cDevFunctions, OpenTriesTheNameWrittenIntoTheCallersBuffer) {
    BoardSession session(5);  // buses 1, 10 and 11
    char name[11];  // room for "/dev/i2c-1" of "/dev/i2c-10"
    std::memset(name, 'x', sizeof(name));
    int fd = i2c_open_i2c_dev(10, name, sizeof(name), 0);
    ASSERT_GE(fd, 0);
    EXPECT_STREQ(name, "/dev/i2c-1");
    EXPECT_EQ(session.board.openPaths(), std::vector<std::string>{"/dev/i2c-1"});
    sys().close(fd);

    // The message names the file that was tried.
    session.board.injectFault({Call::Open, 0, "/dev/i2c-1", EBUSY});
    testing::internal::CaptureStderr();
    EXPECT_EQ(i2c_open_i2c_dev(11, name, sizeof(name), 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Could not open file `/dev/i2c-1': Device or resource busy\n");

    // Without a buffer the full name is opened.
    fd = i2c_open_i2c_dev(10, nullptr, 0, 1);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(session.board.openPaths(), std::vector<std::string>{"/dev/i2c-10"});
    sys().close(fd);
}

TEST(I2cDevFunctions, OpenFailureMessages) {
    BoardSession session(2);
    char name[20];

    testing::internal::CaptureStderr();
    EXPECT_LT(i2c_open_i2c_dev(42, name, sizeof(name), 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Could not open file `/dev/i2c-42': No such file or directory\n");

    testing::internal::CaptureStderr();
    EXPECT_LT(i2c_open_i2c_dev(42, name, sizeof(name), 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    session.board.injectFault({Call::Open, 0, "/dev/i2c-9", EACCES});
    testing::internal::CaptureStderr();
    int fd = i2c_open_i2c_dev(9, name, sizeof(name), 0);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Could not open file `/dev/i2c-9': Permission denied\nRun as root?\n");

    session.board.injectFault({Call::Open, 0, "/dev/i2c-9", EBUSY});
    testing::internal::CaptureStderr();
    EXPECT_EQ(i2c_open_i2c_dev(9, name, sizeof(name), 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Could not open file `/dev/i2c-9': Device or resource busy\n");
    EXPECT_EQ(session.board.openDescriptors(), 0);
}

TEST(I2cDevFunctions, AdapterSettingsSendTheirRequests) {
    BoardSession session(2);
    int fd = i2c_open_i2c_dev(9, nullptr, 0, 0);
    ASSERT_GE(fd, 0);

    EXPECT_EQ(i2c_set_slave_addr(fd, 0x0c, 0), 0);
    EXPECT_EQ(session.board.lastI2cLong(I2C_SLAVE), 0x0c);
    EXPECT_EQ(session.board.lastI2cLong(I2C_SLAVE_FORCE), -1);
    EXPECT_EQ(i2c_set_slave_addr(fd, 0x1a, 1), 0);
    EXPECT_EQ(session.board.lastI2cLong(I2C_SLAVE_FORCE), 0x1a);

    EXPECT_EQ(i2c_set_adapter_timeout(fd, 0), 0);
    EXPECT_EQ(session.board.lastI2cLong(I2C_TIMEOUT), 3);
    EXPECT_EQ(i2c_set_adapter_timeout(fd, 5), 0);
    EXPECT_EQ(session.board.lastI2cLong(I2C_TIMEOUT), 5);

    EXPECT_EQ(i2c_set_adapter_retries(fd, 0), 0);
    EXPECT_EQ(session.board.lastI2cLong(I2C_RETRIES), 2);
    EXPECT_EQ(i2c_set_adapter_retries(fd, 7), 0);
    EXPECT_EQ(session.board.lastI2cLong(I2C_RETRIES), 7);

    unsigned long funcs = 0;
    EXPECT_EQ(i2c_get_functionality(fd, &funcs), 0);
    EXPECT_TRUE(funcs & I2C_FUNC_I2C);
    sys().close(fd);
}

TEST(I2cDevFunctions, FailuresPrintAndReturnNegatedErrno) {
    BoardSession session(2);
    int fd = i2c_open_i2c_dev(9, nullptr, 0, 0);
    ASSERT_GE(fd, 0);
    session.board.injectFault({Call::Ioctl, 0, "/dev/i2c-9", EIO, 0, -1});

    testing::internal::CaptureStderr();
    EXPECT_EQ(i2c_set_slave_addr(fd, 0x0c, 0), -EIO);
    EXPECT_EQ(i2c_set_adapter_timeout(fd, 0), -EIO);
    EXPECT_EQ(i2c_set_adapter_retries(fd, 4), -EIO);
    unsigned long funcs = 123;
    EXPECT_EQ(i2c_get_functionality(fd, &funcs), -EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Could not set address to 0x0c: Input/output error\n"
              "Error: Could not set timeout to 0: Input/output error\n"
              "Error: Could not set retries to 4: Input/output error\n"
              "Error: Could not get adapter functionality: Input/output error\n");
    EXPECT_EQ(funcs, 123u);
    session.board.clearFaults();
    sys().close(fd);
}

TEST(I2cBusLookup, NumbersNeedNoAdapterList) {
    BoardSession session(2);
    EXPECT_EQ(lookupI2cBus("4"), 4);
    EXPECT_EQ(lookupI2cBus("0x10"), 16);
    EXPECT_EQ(lookupI2cBus("010"), 8);
    EXPECT_EQ(lookupI2cBus("0xfffff"), 0xfffff);
    EXPECT_FALSE(readsAnyAdapterList(session.board));

    testing::internal::CaptureStderr();
    EXPECT_EQ(lookupI2cBus("0x100000"), -1);
    EXPECT_EQ(lookupI2cBus("99999999999999999999999"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: I2C bus out of range!\nError: I2C bus out of range!\n");
    EXPECT_FALSE(readsAnyAdapterList(session.board));
}

TEST(I2cBusLookup, NamesAreMatchedExactlyThroughSysfs) {
    BoardSession session(2);
    EXPECT_EQ(lookupI2cBus("i2c-6-mux (chan_id 1)"), 9);
    EXPECT_EQ(lookupI2cBus("7000c400.i2c"), 1);

    testing::internal::CaptureStderr();
    EXPECT_EQ(lookupI2cBus("7000C400.i2c"), -1);
    EXPECT_EQ(lookupI2cBus("9abc"), -1);  // not a number: looked up as a name
    EXPECT_EQ(lookupI2cBus(""), -1);
    EXPECT_EQ(lookupI2cBus(nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: I2C bus name doesn't match any bus present!\n"
              "Error: I2C bus name doesn't match any bus present!\n"
              "Error: I2C bus name doesn't match any bus present!\n"
              "Error: I2C bus name doesn't match any bus present!\n");
}

TEST(I2cBusLookup, DuplicateNameIsRefusedEvenWhenItMatches) {
    BoardSession session(6);
    testing::internal::CaptureStderr();
    EXPECT_EQ(lookupI2cBus("rp1 I2C adapter"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: I2C bus name is not unique!\n");
}

TEST(I2cBusLookup, ProcListIsReadInsteadOfSysfs) {
    BoardOptions options = boardPreset(5);
    options.procBusI2c = true;
    BoardSession session(options);
    // Padded and tab-separated: trailing blanks of the name are dropped.
    session.board.setFile("/proc/bus/i2c",
                          "i2c-1\ti2c       \tsoc-i2c (i2c@7e804000)          \tI2C adapter\n"
                          "i2c-10\ti2c       \tcamera mux   \tI2C adapter   \n"
                          "i2c-3 only two\ttabs\there\n"
                          "garbage\ti2c\tno number\tI2C adapter\n");
    EXPECT_EQ(lookupI2cBus("camera mux"), 10);
    EXPECT_EQ(lookupI2cBus("soc-i2c (i2c@7e804000)"), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(lookupI2cBus("no number"), -1);
    // A two-tab line is skipped, so its last field is no name.
    EXPECT_EQ(lookupI2cBus("here"), -1);
    testing::internal::GetCapturedStderr();
    for (const CallRecord& call : session.board.calls()) {
        EXPECT_NE(call.call, Call::ListDirectory) << "sysfs consulted although /proc/bus/i2c exists";
    }
}

TEST(I2cBusLookup, SysfsNameFilesInEveryPlace) {
    BoardOptions options = boardPreset(5);
    options.sysfsMount = "/alt/sys";
    options.adapters = {{1, "entry name", AdapterNameAt::Entry},
                        {2, "device name", AdapterNameAt::Device},
                        {3, "subdir name", AdapterNameAt::DeviceSubdir},
                        {4, "nowhere", AdapterNameAt::Nowhere},
                        {5, "empty", AdapterNameAt::EmptyFile}};
    BoardSession session(options);
    testing::internal::CaptureStderr();
    EXPECT_EQ(lookupI2cBus("entry name"), 1);
    EXPECT_EQ(lookupI2cBus("device name"), 2);
    EXPECT_EQ(lookupI2cBus("subdir name"), 3);
    EXPECT_EQ(lookupI2cBus("nowhere"), -1);
    std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_NE(messages.find("/alt/sys/class/i2c-dev/i2c-5/name: read error\n"), std::string::npos) << messages;
    EXPECT_NE(messages.find("Error: I2C bus name doesn't match any bus present!\n"), std::string::npos);
}

TEST(I2cBusLookup, SysfsMountTypeIsCaseInsensitiveAndRequired) {
    BoardSession session(2);
    session.board.setFile("/proc/mounts", "proc /proc proc rw 0 0\nnone /sys SysFS rw 0 0\n");
    EXPECT_EQ(lookupI2cBus("i2c-6-mux (chan_id 1)"), 9);

    session.board.setFile("/proc/mounts", "proc /proc proc rw 0 0\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(lookupI2cBus("i2c-6-mux (chan_id 1)"), -1);
    session.board.removeFile("/proc/mounts");
    EXPECT_EQ(lookupI2cBus("i2c-6-mux (chan_id 1)"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: I2C bus name doesn't match any bus present!\n"
              "Error: I2C bus name doesn't match any bus present!\n");
}

TEST(I2cBusLookup, GatherListsAdaptersWithNumbers) {
    BoardSession session(2);
    std::vector<Velmora::I2cAdapter> adapters;
    ASSERT_TRUE(Velmora::gatherI2cBuses(adapters));
    ASSERT_EQ(adapters.size(), 4u);
    EXPECT_EQ(adapters[0].number, 0);
    EXPECT_EQ(adapters[0].name, "7000c000.i2c");
    EXPECT_EQ(adapters[3].number, 9);
    EXPECT_EQ(adapters[3].name, "i2c-6-mux (chan_id 1)");
}

class ControlChip : public ::testing::Test {
protected:
    void SetUp() override {
        fd = i2c_open_i2c_dev(9, nullptr, 0, 0);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override { sys().close(fd); }

    BoardSession session{2};
    int fd = -1;
};

TEST_F(ControlChip, ReadBlockRequestsThenFetchesIntoDestination) {
    std::vector<uint8_t> block(Velmora::kI2cBlockLength + 4, 0xAA);
    ASSERT_EQ(Velmora::i2cReadBlock(fd, 0x0c, 0x0250, block.data()), 0);

    auto transfers = session.board.i2cTransfers();
    ASSERT_EQ(transfers.size(), 2u);
    ASSERT_EQ(transfers[0].messages.size(), 1u);
    EXPECT_EQ(transfers[0].messages[0].address, 0x0c);
    EXPECT_EQ(transfers[0].messages[0].flags, 0);
    EXPECT_EQ(transfers[0].messages[0].data, bytes({0x06, 0x31, 0x02, 0x50, 0x02, 0x00}));
    ASSERT_EQ(transfers[1].messages.size(), 2u);
    EXPECT_EQ(transfers[1].messages[0].data, bytes({0x06, 0x32}));
    EXPECT_EQ(transfers[1].messages[1].flags, I2C_M_RD);
    EXPECT_EQ(transfers[1].messages[1].data.size(), 512u);
    for (size_t j = 0; j < 512; ++j) ASSERT_EQ(block[j], EmulatedBoard::blockByte(0x0250, j)) << j;
    for (size_t j = 512; j < block.size(); ++j) EXPECT_EQ(block[j], 0xAA);
}

TEST_F(ControlChip, ReadBlockFailures) {
    uint8_t block[512];
    // The chip does not answer at another address.
    EXPECT_EQ(Velmora::i2cReadBlock(fd, 0x0d, 0, block), -2);
    EXPECT_EQ(session.board.i2cTransfers().size(), 1u);

    session.board.injectFault({Call::Ioctl, I2C_RDWR, "", EIO, 1});
    EXPECT_EQ(Velmora::i2cReadBlock(fd, 0x0c, 0, block), -2);
    EXPECT_EQ(Velmora::i2cReadBlock(fd, 0x0c, 0, nullptr), -2);
}

TEST_F(ControlChip, FrameRateIsBigEndian) {
    ASSERT_EQ(Velmora::i2cWriteFrameRate(fd, 0x0c, 30), 0);
    ASSERT_EQ(Velmora::i2cWriteFrameRate(fd, 0x0c, 10), 0);
    auto transfers = session.board.i2cTransfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].messages[0].data, bytes({0x06, 0x33, 0x00, 0x00, 0x00, 0x1E}));
    EXPECT_EQ(transfers[1].messages[0].data, bytes({0x06, 0x33, 0x00, 0x00, 0x00, 0x0A}));
    EXPECT_EQ(transfers[1].messages[0].address, 0x0c);
    EXPECT_EQ(session.board.chipFrameRate(), 10);

    ASSERT_EQ(Velmora::i2cWriteFrameRate(fd, 0x0c, 0x01020304), 0);
    EXPECT_EQ(session.board.i2cTransfers().back().messages[0].data, bytes({0x06, 0x33, 0x01, 0x02, 0x03, 0x04}));

    session.board.injectFault({Call::Ioctl, I2C_RDWR, "", ENXIO});
    testing::internal::CaptureStderr();
    EXPECT_EQ(Velmora::i2cWriteFrameRate(fd, 0x0c, 15), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(Velmora::i2cWriteFrameRate(-1, 0x0c, 15), -2);
}

TEST(ControlChipAdapter, ShortTransfersAndSmbusOnlyAdaptersFail) {
    BoardOptions options = boardPreset(2);
    options.i2cMessagesDone = 1;  // the adapter stops after the first message
    {
        BoardSession session(options);
        const int fd = i2c_open_i2c_dev(9, nullptr, 0, 0);
        ASSERT_GE(fd, 0);
        uint8_t block[512];
        EXPECT_EQ(Velmora::i2cReadBlock(fd, 0x0c, 0, block), -2);  // the fetch reports 1 of 2 messages
        EXPECT_EQ(Velmora::i2cWriteFrameRate(fd, 0x0c, 30), 0);
        sys().close(fd);
    }
    options.i2cMessagesDone = -1;
    options.i2cFunctionality = 0x0eff0000;  // SMBus only
    BoardSession session(options);
    const int fd = i2c_open_i2c_dev(9, nullptr, 0, 0);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(Velmora::i2cWriteFrameRate(fd, 0x0c, 30), -2);
    EXPECT_EQ(errno, EOPNOTSUPP);
    EXPECT_EQ(session.board.chipFrameRate(), -1);
    sys().close(fd);
}
