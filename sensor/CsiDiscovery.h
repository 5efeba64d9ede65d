#pragma once
// Text rules of CSI discovery: where the control chip's I2C bus is named.

#include <cstddef>
#include <string>

namespace Velmora {

// Bus text from a video node name such as "vi-output, velmora-marquenty 9-000c":
// the digits right after the first blank following "velmora" (at most
// `size` - 1 of them). False when "velmora" does not occur.
bool busTextFromVideoName(const std::string& name, char* bus, size_t size);

// Bus text from a sensor entity name such as "velmora-marquenty 4-000c": up to
// 7 characters after the first blank, cut at the first '-'. False without a blank.
bool busTextFromEntityName(const std::string& name, char* bus, size_t size);

// Node of a subdevice from its sysfs link target: "/dev" + the last path
// component, which must begin with "/v4l-subdev"; empty when it does not.
std::string subdevNodeFromLink(const std::string& linkTarget);

}  // namespace Velmora
