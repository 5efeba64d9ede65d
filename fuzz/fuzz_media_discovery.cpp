// Opening a CSI camera on arbitrary boards: any platform model, any video node
// name, device directory, media entities (names of all 32 bytes included),
// subdevice links, adapter list and driver answers. Open succeeds or fails
// with -2, what discovery records stays inside its fields, a start after it
// fails cleanly when the driver's buffers cannot be mapped, and close leaves
// no descriptor open.

#include <fuzzer/FuzzedDataProvider.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <sys/sysmacros.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzSeam.h"
#include "VelmoraTOFCSISensor.h"

using namespace Velmora;

namespace {

struct Entity {
    uint32_t id;
    char name[32];
    uint32_t major, minor;
};

struct Board {
    uint32_t capabilities = 0;
    bool querycapFails = false;
    bool setInputFails = false;
    bool setupLinkFails = false;
    unsigned long functions = 0;
    uint32_t width = 0, height = 0;
    bool formatFails = false;
    std::vector<Entity> entities;
};

std::string entityName(FuzzedDataProvider& in) {
    static const char* const kKnown[] = {"csi2", "rp1-cfe-csi2_ch0", "rockchip-csi2-dphy1", "velmora-marquenty 4-000c",
                                         "m00_b_marquenty 10-000c", "velmora-marquenty"};
    if (in.ConsumeBool()) return kKnown[in.ConsumeIntegralInRange<size_t>(0, 5)];
    return in.ConsumeRandomLengthString(40);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    VelmoraFuzz::FuzzSeam seam;
    Board board;
    const int model = in.ConsumeIntegralInRange<int>(0, 7);
    const int frames = in.ConsumeIntegralInRange<int>(0, 4);

    seam.nodes["/dev/video0"] = makedev(81, 0);
    board.capabilities = in.ConsumeIntegral<uint32_t>();
    board.querycapFails = in.ConsumeProbability<float>() < 0.05f;
    board.setInputFails = in.ConsumeProbability<float>() < 0.1f;
    board.setupLinkFails = in.ConsumeBool();
    board.functions = in.ConsumeBool() ? I2C_FUNC_I2C : in.ConsumeIntegral<uint32_t>();
    board.width = in.ConsumeBool() ? 240 : in.ConsumeIntegral<uint32_t>();
    board.height = in.ConsumeBool() ? 180 : in.ConsumeIntegral<uint32_t>();
    board.formatFails = in.ConsumeProbability<float>() < 0.1f;
    seam.files["/sys/dev/char/81:0/name"] = in.ConsumeBool() ? "vi-output, velmora-marquenty 9-000c"
                                                             : in.ConsumeRandomLengthString(300);

    // The video node's device directory and the nodes its media entries name.
    const int entryCount = in.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < entryCount; ++i) {
        const std::string entry = in.ConsumeBool() ? "media" + std::to_string(i) : in.ConsumeRandomLengthString(90);
        seam.directories["/sys/dev/char/81:0/device"].push_back(entry);
        if (in.ConsumeBool()) seam.nodes["/dev/" + entry] = makedev(244, static_cast<unsigned>(i));
    }

    // Media entities in id order, each perhaps with a subdevice behind a sysfs link.
    const int entityCount = in.ConsumeIntegralInRange<int>(0, 10);
    uint32_t id = 0;
    for (int i = 0; i < entityCount; ++i) {
        Entity e{};
        id += in.ConsumeIntegralInRange<uint32_t>(1, 5);
        e.id = id;
        const std::string name = entityName(in);
        std::memcpy(e.name, name.data(), std::min(name.size(), sizeof(e.name)));
        e.major = 81;
        e.minor = 100 + static_cast<uint32_t>(i);
        const std::string link = "/sys/dev/char/81:" + std::to_string(e.minor);
        if (in.ConsumeBool()) {
            const std::string node = "v4l-subdev" + std::to_string(i);
            seam.links[link] = in.ConsumeBool() ? "../../devices/platform/x/" + node : in.ConsumeRandomLengthString(300);
            if (in.ConsumeBool()) seam.nodes["/dev/" + node] = makedev(81, e.minor);
        }
        board.entities.push_back(e);
    }

    // The control chip's bus: by number or by an adapter named in /proc/bus/i2c.
    seam.nodes["/dev/i2c-4"] = makedev(89, 4);
    seam.nodes["/dev/i2c-9"] = makedev(89, 9);
    seam.nodes["/dev/i2c-10"] = makedev(89, 10);
    seam.files["/proc/bus/i2c"] = in.ConsumeRandomLengthString(300);

    seam.onIoctl = [&board](const std::string& path, unsigned long request, void* arg) -> int {
        const bool media = path.compare(0, 10, "/dev/media") == 0;
        switch (request) {
        case VIDIOC_QUERYCAP: {
            if (board.querycapFails) break;
            auto* cap = static_cast<v4l2_capability*>(arg);
            cap->capabilities = board.capabilities;
            return 0;
        }
        case VIDIOC_S_INPUT:
            if (board.setInputFails) break;
            return 0;
        case MEDIA_IOC_ENUM_ENTITIES: {
            if (!media) break;
            auto* desc = static_cast<media_entity_desc*>(arg);
            const bool next = desc->id & MEDIA_ENT_ID_FLAG_NEXT;
            const uint32_t from = desc->id & ~MEDIA_ENT_ID_FLAG_NEXT;
            for (const Entity& e : board.entities) {
                if (next ? e.id > from : e.id == from) {
                    std::memset(desc, 0, sizeof(*desc));
                    desc->id = e.id;
                    std::memcpy(desc->name, e.name, sizeof(desc->name));
                    desc->dev.major = e.major;
                    desc->dev.minor = e.minor;
                    return 0;
                }
            }
            errno = EINVAL;
            return -1;
        }
        case MEDIA_IOC_SETUP_LINK:
            if (board.setupLinkFails || !media) break;
            return 0;
        case I2C_FUNCS:
            *static_cast<unsigned long*>(arg) = board.functions;
            return 0;
        case VIDIOC_G_FMT:
            if (board.formatFails) break;
            static_cast<v4l2_format*>(arg)->fmt.pix.width = board.width;
            static_cast<v4l2_format*>(arg)->fmt.pix.height = board.height;
            return 0;
        case VIDIOC_SUBDEV_G_FMT:
            if (board.formatFails) break;
            static_cast<v4l2_subdev_format*>(arg)->format.width = board.width;
            static_cast<v4l2_subdev_format*>(arg)->format.height = board.height;
            return 0;
        case VIDIOC_REQBUFS:
        case VIDIOC_TRY_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_SUBDEV_S_FMT:
        case VIDIOC_STREAMOFF:
            return 0;
        case VIDIOC_QUERYBUF:
            static_cast<v4l2_buffer*>(arg)->length = 86400;
            return 0;
        default:
            break;
        }
        errno = EINVAL;
        return -1;
    };

    ScopedSystemOverride installed(seam);
    {
        VelmoraTOFCSISensor sensor(frames, model, "/dev/video0");
        CameraInfo info{};
        const int rc = sensor.open(info);
        FUZZ_CHECK(rc == 0 || rc == -2);
        FUZZ_CHECK(std::strlen(sensor.busName()) <= 7);
        FUZZ_CHECK(std::strlen(sensor.mediaNodePath()) < 80);
        FUZZ_CHECK(sensor.subdeviceCount() >= 0 && sensor.subdeviceCount() <= 4);
        FUZZ_CHECK(sensor.subdeviceCount() == 0 || sensor.controlSubdeviceIndex() < sensor.subdeviceCount());
        if (model < 5) FUZZ_CHECK(sensor.subdeviceCount() == 0);
        if (rc == 0) {
            FUZZ_CHECK(info.width == board.width && info.height == board.height);
            FUZZ_CHECK(info.width > 0 && info.height > 0);
            FUZZ_CHECK(info.bit_width == 12 && info.bpp == 2);
            // Buffers that cannot be mapped end the start, and nothing stays mapped.
            const int started = sensor.start();
            FUZZ_CHECK(started == -1 || started == -2);
            FUZZ_CHECK(sensor.mappedBufferCount() == 0);
        }
        FUZZ_CHECK(sensor.close() == 0);
        FUZZ_CHECK(seam.stillOpen() == 0);
        // A second open on the same object starts from nothing.
        sensor.open(info);
        sensor.close();
        FUZZ_CHECK(seam.stillOpen() == 0);
    }
    FUZZ_CHECK(seam.stillOpen() == 0);
    return 0;
}
