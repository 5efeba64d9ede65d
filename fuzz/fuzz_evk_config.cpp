// The virtual camera's key=value configuration parser on arbitrary text: it
// accepts only values inside each key's range, refuses everything else with
// one line naming the file, and what it accepts reads back the same.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "EvkConfig.h"
#include "FuzzCheck.h"

using VelmoraSim::ModuleConfig;

namespace {

std::string number(double v) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.17g", v);
    return text;
}

// Every key with the value the parser stored, as a file would say it.
std::string render(const ModuleConfig& c) {
    std::string t;
    t += "width=" + std::to_string(c.width) + "\nheight=" + std::to_string(c.height);
    t += "\nbit_width=" + std::to_string(c.bitWidth) + "\nfps=" + std::to_string(c.fps);
    t += "\nscene=" + c.scene.kind + "\ndistance_mm=" + number(c.scene.distanceMm);
    t += "\nreflectivity=" + number(c.scene.reflectivity) + "\nnoise=" + number(c.scene.noise);
    t += "\nseed=" + std::to_string(c.scene.seed);
    t += "\nfail_capture_every=" + std::to_string(c.failCaptureEvery);
    t += "\nwrong_size_every=" + std::to_string(c.wrongSizeEvery);
    t += "\ntimestamp_gap_every=" + std::to_string(c.timestampGapEvery);
    t += "\ntimestamp_gap_ms=" + std::to_string(c.timestampGapMs) + "\n";
    t += std::string("physics=") + (c.scene.physics ? "on" : "off") + "\n";
    if (c.physicsKeysGiven) {
        t += "supersampling=" + std::to_string(c.scene.supersampling) + "\nambient=" + number(c.scene.ambientCounts);
        t += std::string("\nshot_noise=") + (c.scene.shotNoise ? "on" : "off") + "\n";
    }
    if (c.vgaKeysGiven) {
        t += std::string("frequency=") + (c.doubleFrequency ? "double" : "single");
        t += "\nphase_offset=" + number(c.phaseOffset) + "\n";
    }
    return t;
}

bool same(const ModuleConfig& a, const ModuleConfig& b) {
    return a.width == b.width && a.height == b.height && a.bitWidth == b.bitWidth && a.fps == b.fps &&
           a.scene.kind == b.scene.kind && a.scene.distanceMm == b.scene.distanceMm &&
           a.scene.reflectivity == b.scene.reflectivity && a.scene.noise == b.scene.noise &&
           a.scene.seed == b.scene.seed && a.failCaptureEvery == b.failCaptureEvery &&
           a.wrongSizeEvery == b.wrongSizeEvery && a.timestampGapEvery == b.timestampGapEvery &&
           a.timestampGapMs == b.timestampGapMs && a.doubleFrequency == b.doubleFrequency &&
           a.phaseOffset == b.phaseOffset && a.vgaKeysGiven == b.vgaKeysGiven && a.scene.physics == b.scene.physics &&
           a.scene.supersampling == b.scene.supersampling && a.scene.ambientCounts == b.scene.ambientCounts &&
           a.scene.shotNoise == b.scene.shotNoise && a.physicsKeysGiven == b.physicsKeysGiven;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ModuleConfig config;
    std::string error;
    if (!VelmoraSim::parseConfigText("cam.txt", text, config, error)) {
        FUZZ_CHECK(error.compare(0, 8, "cam.txt:") == 0);
        FUZZ_CHECK(error.find('\n') == std::string::npos);
        return 0;
    }
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(config.width >= 1 && config.width <= 4096);
    FUZZ_CHECK(config.height >= 1 && config.height <= 4096);
    FUZZ_CHECK(config.bitWidth >= 8 && config.bitWidth <= 16);
    FUZZ_CHECK(config.fps >= 0 && config.fps <= 1000);
    FUZZ_CHECK(VelmoraSim::isKnownSceneKind(config.scene.kind));
    FUZZ_CHECK(std::isfinite(config.scene.distanceMm) && config.scene.distanceMm >= 0 &&
               config.scene.distanceMm <= 100000);
    FUZZ_CHECK(config.scene.reflectivity >= 0 && config.scene.reflectivity <= 1);
    FUZZ_CHECK(config.scene.noise >= 0 && config.scene.noise <= 1000);
    FUZZ_CHECK(config.timestampGapMs <= 1000000);
    FUZZ_CHECK(!config.vgaKeysGiven || VelmoraSim::isVgaGeometry(config.width, config.height));
    FUZZ_CHECK(std::isfinite(config.phaseOffset) && std::fabs(config.phaseOffset) <= 100);
    FUZZ_CHECK(!config.physicsKeysGiven || config.scene.physics);
    FUZZ_CHECK(config.scene.supersampling >= 1 && config.scene.supersampling <= 16);
    FUZZ_CHECK(config.scene.ambientCounts >= 0 && config.scene.ambientCounts <= 4095);

    // The sensor's view: VGA geometries deliver raw lines of five (or ten) per picture line.
    const ModuleConfig sensor = VelmoraSim::sensorGeometry(config);
    if (VelmoraSim::isVgaGeometry(config.width, config.height)) {
        FUZZ_CHECK(sensor.pictureHeight == config.height);
        FUZZ_CHECK(sensor.height == (config.doubleFrequency ? 10 : 5) * (config.height + 1));
    } else {
        FUZZ_CHECK(sensor.height == config.height && sensor.pictureHeight == 0);
    }

    ModuleConfig again;
    std::string againError;
    FUZZ_CHECK(VelmoraSim::parseConfigText("again.txt", render(config), again, againError));
    FUZZ_CHECK(same(config, again));
    return 0;
}
