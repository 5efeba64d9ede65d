#pragma once
// Settings of one simulated camera module and the parser of its key=value file.

#include <cstdint>
#include <string>

#include "VelmoraScene.h"

namespace VelmoraSim {

struct ModuleConfig {
    // Sensor
    int width = 240;
    int height = 180;
    int bitWidth = 12;
    int fps = 30;  // 0: deliver as fast as asked
    SceneSettings scene;

    // Faults for tests; N = 0 disables, otherwise every N-th sub-frame is hit.
    uint32_t failCaptureEvery = 0;
    uint32_t wrongSizeEvery = 0;
    uint32_t timestampGapEvery = 0;
    uint32_t timestampGapMs = 20;

    // Further sensor models and replay add their settings below.

    // --- VGA sensor (640 x 480 or 320 x 240) ---
    // One raw frame per capture: width x 5 (height + 1) lines, 10 (height + 1)
    // in double frequency (layout in vendor/si4c/README.md).
    bool doubleFrequency = false;
    double phaseOffset = 0;  // radians the module adds at every frequency
    int pictureHeight = 0;   // 0 until sensorGeometry(): then the picture's lines
    bool vgaKeysGiven = false;
    // --- end VGA sensor ---
};

// Reads `path` into `config` (which holds the defaults on entry). On failure
// returns false with one line in `error` naming the file, line and key.
bool parseConfigFile(const std::string& path, ModuleConfig& config, std::string& error);

// Parses `text` as the contents of a file called `name`; same rules.
bool parseConfigText(const std::string& name, const std::string& text, ModuleConfig& config, std::string& error);

// --- VGA sensor ---
bool isVgaGeometry(int width, int height);
// The configuration as the sensor delivers it: for the VGA sensor `height`
// becomes the raw line count and `pictureHeight` keeps the picture's lines.
ModuleConfig sensorGeometry(const ModuleConfig& config);
// --- end VGA sensor ---

}  // namespace VelmoraSim
