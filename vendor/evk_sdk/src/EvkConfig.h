#pragma once
// Settings of one simulated camera module and the parser of its key=value file.

#include <cstdint>
#include <string>

#include "VelmoraScene.h"

namespace VelmoraSim {

// --- replay ---
// A recording of RAW frames (the format of velmora_tools, in the README) to
// play back instead of rendering a scene.
struct ReplayRecording {
    std::string path;        // empty: no replay
    bool paced = true;       // at the recorded pace, or as fast as asked
    int subFrames = 0;       // 4 (HQVGA: interleaved phase planes) or 1 (VGA: raw words)
    int frameWidth = 0;      // samples per line of a recorded frame
    int frameHeight = 0;     // lines of a recorded frame, all sub-frames
    uint64_t headerSize = 0; // bytes before the first frame
    uint64_t frames = 0;     // complete frames in the file
    int nominalFps = 0;      // recorded frame rate, rounded, at least 1
};
// --- end replay ---

struct ModuleConfig {
    // Sensor
    int width = 240;
    int height = 180;
    int bitWidth = 12;
    int fps = 30;  // 0: deliver as fast as asked
    SceneSettings scene;
    bool physicsKeysGiven = false;  // supersampling, ambient or shot_noise: they need physics=on

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

    // --- replay ---
    ReplayRecording replay;
    // --- end replay ---
};

// Reads `path` into `config` (which holds the defaults on entry). On failure
// returns false with one line in `error` naming the file, line and key.
bool parseConfigFile(const std::string& path, ModuleConfig& config, std::string& error);

// Parses `text` as the contents of a file called `name`; same rules.
bool parseConfigText(const std::string& name, const std::string& text, ModuleConfig& config, std::string& error);

// --- replay ---
// Reads the header of `recording.path` into `recording`; on failure returns
// false with the reason in `error`.
bool openReplayRecording(ReplayRecording& recording, std::string& error);
// --- end replay ---

// --- VGA sensor ---
bool isVgaGeometry(int width, int height);
// The configuration as the sensor delivers it: for the VGA sensor `height`
// becomes the raw line count and `pictureHeight` keeps the picture's lines.
ModuleConfig sensorGeometry(const ModuleConfig& config);
// --- end VGA sensor ---

}  // namespace VelmoraSim
