// The depth filters with AVX-512 (built with -mavx512f, run where the CPU has it).

#if defined(__x86_64__)
#define DEPTH_FILTER_FORM depthFilterKernelsAvx512
#include "DepthFilterRows.inl"
#endif
