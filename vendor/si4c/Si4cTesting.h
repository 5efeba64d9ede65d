#pragma once
// Test-only view into this project's phase processor: injected failures and
// the number of live instances. Not part of the C interface; a vendor library
// does not have it.

#include "si4c.h"

namespace si4c {
namespace testing {

enum class Call { Create, Init, Start };

// The next `times` calls of `call` fail before doing anything.
SI4C_API void failNext(Call call, int times = 1);
// Clears injected failures.
SI4C_API void reset();
// Instances created and not yet destroyed.
SI4C_API int liveInstances();

}  // namespace testing
}  // namespace si4c
