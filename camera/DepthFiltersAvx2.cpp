// The depth filters with AVX2 (built with -mavx2, run where the CPU has it).

#if defined(__x86_64__)
#define DEPTH_FILTER_FORM depthFilterKernelsAvx2
#include "DepthFilterRows.inl"
#endif
