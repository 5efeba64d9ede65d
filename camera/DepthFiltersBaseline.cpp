// The depth filters at the architecture's baseline vectors: SSE2 on x86-64, NEON on aarch64.

#define DEPTH_FILTER_FORM depthFilterKernelsBaseline
#include "DepthFilterRows.inl"
