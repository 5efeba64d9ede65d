#pragma once
// An embedded board behind the system seam: the CSI camera's capture node,
// its subdevices and media graph, i2c-dev adapters with the module's control
// chip, and the sysfs/procfs files discovery reads. Every call can be made to
// fail with a chosen errno, and open descriptors and mappings are counted so
// tests can prove nothing leaks.

#include <sys/time.h>

#include <cerrno>
#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "SystemAccess.h"
#include "VelmoraScene.h"

namespace VelmoraTest {

enum class Call { Open, Close, Ioctl, Mmap, Munmap, Fstat, Poll, Readlink, ListDirectory, ReadFile };
const char* callName(Call call);

// How a capture buffer lays out one 240 x 180 sub-frame.
enum class BufferLayout {
    Plain,      // width x height little-endian words
    Padded512,  // lines of 512 bytes, 480 of them samples (92160-byte buffers)
    Split960,   // pairs of lines in 960-byte blocks: A[0..447] B[0..479] A[448..479]
    Packed12,   // two 12-bit samples in three bytes, lines padded to 16 bytes
};

// Where sysfs keeps an adapter's name below /class/i2c-dev/i2c-N.
enum class AdapterNameAt { Entry, Device, DeviceSubdir, Nowhere, EmptyFile };

struct AdapterSetup {
    int number;
    std::string name;
    AdapterNameAt at = AdapterNameAt::Entry;
};

enum class EntityRole { Video, Receiver, Sensor, Other };

struct EntitySetup {
    std::string name;
    EntityRole role;
    uint16_t pads = 1;
    // Target of /sys/dev/char/<major>:<minor>; empty derives ".../v4l-subdevN".
    std::string linkTarget;
    // The subdevice node cannot be opened.
    bool nodeMissing = false;
};

struct LinkSetup {
    std::string source;
    uint16_t sourcePad = 0;
    std::string sink;
    uint16_t sinkPad = 0;
    bool enabled = false;
};

struct BoardOptions {
    int platformModel = 0;
    std::string modelText;
    int videoIndex = 0;
    std::string videoName;               // sysfs name of the capture node
    uint32_t capabilities = 0;           // VIDIOC_QUERYCAP capabilities
    bool multiPlane = false;             // the node only takes multi-plane requests
    std::vector<std::string> deviceDir;  // entries of /sys/dev/char/81:N/device, in the order listed
    std::set<std::string> missingNodes;  // /dev paths listed but absent
    std::vector<EntitySetup> entities;    // media entities in id order
    std::vector<LinkSetup> links;
    // Streaming needs this link enabled (source entity and pad, sink entity and pad).
    bool streamNeedsLink = false;
    LinkSetup requiredLink{};
    bool controlsOnVideoNode = false;    // Jetson: the sensor's controls sit on the video node

    std::vector<AdapterSetup> adapters;
    int cameraBus = -1;                  // the adapter with the control chip
    bool procBusI2c = false;             // "/proc/bus/i2c" exists
    std::string sysfsMount = "/sys";
    unsigned long i2cFunctionality = 0x1 | 0x0eff0000;  // I2C and the emulated SMBus set
    int i2cMessagesDone = -1;            // >= 0: I2C_RDWR reports at most this many messages done

    BufferLayout layout = BufferLayout::Plain;
    uint32_t pixelFormat = 0;            // the one format the node delivers
    int sampleShift = 0;                 // samples sit this many bits up in their word
    uint32_t nativeWidth = 240;
    uint32_t nativeHeight = 180;
    int grantedBuffers = 8;              // answer to VIDIOC_REQBUFS
    // Packed12: bytes per line (0: the data bytes aligned to 16); when set, the node's
    // compact-output control reports the packing.
    size_t packedStride = 0;
    bool readOnlySubdevs = false;        // active formats are refused (EPERM), as without media-controller mode
    int errorEvery = 0;                  // > 0: every N-th dequeued buffer is flagged as an error
    bool errorsTruncate = false;         // ... or, unflagged, reports half its bytes used
    long reportedLength = -1;            // >= 0: DQBUF reports this length instead of the buffer's

    VelmoraSim::SceneSettings scene;
    bool patternFrames = false;          // every word of sub-frame s is patternWord(s)
    int64_t firstTimestampUs = 1000000;
    int64_t frameIntervalUs = 33333;
    int64_t subFrameIntervalUs = 1000;
    int dequeueDelayUs = 500;            // time the capture node takes per buffer

    // --- VGA sensor ---
    // The module is the VGA sensor: the capture node and the subdevices take
    // the size the driver sets when it is a VGA raw size (640 or 320 wide,
    // 5 or 10 x (481 or 241) lines), and every buffer is one raw VGA frame of
    // that size (vendor/si4c/README.md) rendered from `scene`. Plain layout only.
    bool vgaSensor = false;
    double vgaPhaseOffset = 0;           // radians the module adds at every frequency
    // The module's calibration store as the control chip serves it from block
    // offset 80 on (0 beyond its end); empty: every block holds blockByte.
    std::vector<uint8_t> calibrationStore;
    // --- end VGA sensor ---
};

// Boards as the platform models 2, 3, 5, 6 and 7 present them; directories list in an unsorted,
// kernel-like order.
BoardOptions boardPreset(int platformModel);

struct I2cMessage {
    uint16_t address;
    uint16_t flags;
    std::vector<uint8_t> data;  // written bytes; for reads, the bytes handed back
};

struct I2cTransfer {
    int bus;
    std::vector<I2cMessage> messages;
};

struct CallRecord {
    Call call;
    unsigned long request;  // Ioctl only
    std::string target;     // path, or the node of a descriptor
};

struct Fault {
    Call call;
    unsigned long request = 0;  // Ioctl: 0 matches every request
    std::string target;         // substring of the path or node; empty matches all
    int error = EIO;
    int skip = 0;               // matching calls to let pass first
    int count = 1;              // failures to inject; negative: every match
};

class EmulatedBoard : public Velmora::SystemAccess {
public:
    explicit EmulatedBoard(int platformModel);
    explicit EmulatedBoard(const BoardOptions& options);
    ~EmulatedBoard() override;

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* addr, size_t length) override;
    int fstat(int fd, struct stat* st) override;
    int poll(int fd, short events, int timeoutMs) override;
    ssize_t readlink(const char* path, char* buffer, size_t size) override;
    bool listDirectory(const std::string& path, std::vector<std::string>& names) override;
    bool readFile(const std::string& path, std::string& contents, size_t maxBytes = 65536) override;

    // Faults. A failing close or munmap still releases, as close(2) does.
    void injectFault(const Fault& fault);
    // Fails the call with this number (counted from 0 over all calls since construction).
    void failCallNumber(uint64_t number, int error);
    void clearFaults();
    uint64_t callCount() const;
    std::vector<CallRecord> calls() const;  // the first 20000

    // Leak accounting.
    int openDescriptors() const;
    int liveMappings() const;
    int badCloses() const;
    std::vector<std::string> openPaths() const;

    // What the camera module saw.
    std::vector<I2cTransfer> i2cTransfers() const;
    int chipFrameRate() const;  // -1 until set
    int rangeControl() const;   // the private range control, 0 far, 1 near
    int exposure() const;
    double modulationHz() const;
    int rangeControlWrites() const;
    int exposureWrites() const;
    long lastI2cLong(unsigned long request) const;  // last integer argument, -1 if never
    bool streaming() const;
    uint32_t formatPixel() const;       // pixel format last set on the capture node
    uint32_t subdevCode(const std::string& entity) const;
    bool linkEnabled(const std::string& source, uint16_t sourcePad, const std::string& sink, uint16_t sinkPad) const;
    int setupLinkCalls() const;
    uint64_t subFramesDelivered() const;
    int allocatedBuffers() const;

    // While withheld, the sensor delivers nothing: poll times out and a blocking dequeue waits.
    void withholdFrames(bool withhold);

    // Scripts for the next dequeues: timestamps, and indexes reported instead of the real one.
    void scriptTimestamps(const std::vector<timeval>& stamps);
    void scriptReportedIndexes(const std::vector<uint32_t>& indexes);
    // Files and links can be replaced or added at any time.
    void setFile(const std::string& path, const std::string& contents);
    void removeFile(const std::string& path);
    void setLink(const std::string& path, const std::string& target);

    // Sample word of sub-frame `sequence` in pattern mode (12-bit, before the shift).
    static uint16_t patternWord(uint64_t sequence);
    // Byte j of the control chip's block at `offset`.
    static uint8_t blockByte(uint16_t offset, size_t j);
    // Byte j of the block at `offset` as this board's chip serves it.
    uint8_t servedBlockByte(uint16_t offset, size_t j) const;
    // The true sub-frame (240 x 180 words, before layout) the board delivered as `sequence`.
    std::vector<uint16_t> subFrameWords(uint64_t sequence);

    const BoardOptions& options() const { return opts; }
    const VelmoraSim::Scene& scene() const { return sceneModel; }

private:
    enum class Kind { Video, Subdev, Media, I2c };
    struct Node {
        Kind kind;
        unsigned major;
        unsigned minor;
        int entity = -1;  // Subdev: index into opts.entities
        int bus = -1;     // I2c
    };
    struct Buffer {
        std::vector<uint8_t> memory;
        uint32_t offset = 0;
        bool queued = false;
    };
    struct Mapping {
        int buffer;
        size_t length;
    };
    struct SubdevFormat {
        uint32_t width;
        uint32_t height;
        uint32_t code;
    };

    bool shouldFail(Call call, unsigned long request, const std::string& target, int& error);
    std::string describe(int fd) const;
    int fail(int error);
    int videoIoctl(int fd, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int subdevIoctl(int fd, const Node& node, unsigned long request, void* arg);
    int mediaIoctl(unsigned long request, void* arg);
    int i2cIoctl(const Node& node, unsigned long request, void* arg);
    int controlIoctl(unsigned long request, void* arg);
    int dequeue(int fd, void* arg, std::unique_lock<std::mutex>& lock);
    // A queued buffer is filled unless frames are withheld; one that poll reported stays filled.
    bool bufferReady() const { return streamOn && !queue.empty() && (!withheld || reportedReady); }
    void endStream();
    size_t bufferLength() const;
    size_t packedStride() const;
    void renderSubFrame(uint64_t sequence, std::vector<uint16_t>& words);
    void layOut(const std::vector<uint16_t>& words, std::vector<uint8_t>& memory) const;
    int entityIndex(const std::string& name) const;
    int entityIdOf(int index) const { return index + 1; }
    bool linkActive(const LinkSetup& link) const;
    // --- VGA sensor ---
    bool isVgaRawSize(uint32_t width, uint32_t lines) const;
    void renderVgaBuffer(uint64_t sequence, std::vector<uint16_t>& words);
    // --- end VGA sensor ---

    BoardOptions opts;
    VelmoraSim::Scene sceneModel;

    mutable std::mutex mutex;
    std::map<std::string, std::string> files;
    std::map<std::string, std::string> links;
    std::map<std::string, std::vector<std::string>> directories;
    std::map<std::string, Node> nodes;
    std::map<int, std::string> descriptors;
    std::map<int, int> descriptorFlags;
    int nextFd = 100;
    int badCloseCount = 0;

    std::vector<Fault> faults;
    std::set<uint64_t> failingCalls;
    std::map<uint64_t, int> failingCallErrors;
    uint64_t callCounter = 0;
    std::vector<CallRecord> callLog;

    // Capture node.
    std::vector<Buffer> buffers;
    std::deque<int> queue;
    bool withheld = false;
    bool reportedReady = false;
    // Wakes dequeues and polls waiting for a buffer.
    std::condition_variable delivery;
    std::multimap<const void*, Mapping> mappings;
    bool streamOn = false;
    uint32_t pixelFormat = 0;
    uint32_t formatWidth;
    uint32_t formatHeight;
    uint64_t sequence = 0;
    std::deque<timeval> timestampScript;
    std::deque<uint32_t> indexScript;
    uint64_t renderedFrame = UINT64_MAX;
    double renderedHz = 0;
    std::vector<uint16_t> renderedWords;
    std::unique_ptr<VelmoraSim::Scene> vgaScene;  // VGA sensor: picture-sized scene of the current format

    // Sensor and receiver.
    std::map<int, SubdevFormat> subdevFormats;  // active formats by entity
    // Try formats belong to an open file handle (descriptor and pad), as in the kernel's subdevice state.
    std::map<std::pair<int, uint32_t>, SubdevFormat> tryFormats;
    std::vector<bool> linkState;
    int setupLinks = 0;
    int range = 0;
    int exposureValue = 1000;
    int rangeWrites = 0;
    int exposureWriteCount = 0;

    // Control chip.
    std::vector<I2cTransfer> transfers;
    int frameRate = -1;
    int preparedOffset = -1;
    std::map<unsigned long, long> i2cLongs;
};

}  // namespace VelmoraTest
