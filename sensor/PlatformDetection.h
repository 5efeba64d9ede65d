#pragma once
// Classifies the host board from the device-tree model text.

#include <cstdint>
#include <string>

namespace Velmora {

// 0 unknown, 2 Jetson TX1/Nano, 3 other Jetson or Orin, 5 Raspberry Pi, 6 Raspberry Pi 5, 7 Radxa ROCK.
int32_t detectPlatformModel();
int32_t classifyPlatformModel(const std::string& modelText);

// Boards whose camera is reached through a media graph (sensor subdevice, receiver).
inline bool hasMediaGraph(int32_t platformModel) { return platformModel >= 5 && platformModel <= 7; }

}  // namespace Velmora
