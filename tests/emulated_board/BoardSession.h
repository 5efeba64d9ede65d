#pragma once
// An emulated board put behind the system seam for the lifetime of a test.

#include <gtest/gtest.h>

#include <string>

#include "EmulatedBoard.h"
#include "SystemAccess.h"

namespace VelmoraTest {

struct BoardSession {
    explicit BoardSession(const BoardOptions& options) : board(options), seam(board) {}
    explicit BoardSession(int platformModel) : BoardSession(boardPreset(platformModel)) {}

    EmulatedBoard board;
    Velmora::ScopedSystemOverride seam;
};

// Options of a preset with frames that identify their sub-frame and no pacing.
inline BoardOptions patternPreset(int platformModel) {
    BoardOptions options = boardPreset(platformModel);
    options.patternFrames = true;
    options.dequeueDelayUs = 0;
    return options;
}

// Nothing of the board is left open or mapped, and nothing was closed twice.
inline void expectNothingHeld(const EmulatedBoard& board) {
    EXPECT_EQ(board.openDescriptors(), 0) << ::testing::PrintToString(board.openPaths());
    EXPECT_EQ(board.liveMappings(), 0);
    EXPECT_EQ(board.badCloses(), 0);
}

}  // namespace VelmoraTest
