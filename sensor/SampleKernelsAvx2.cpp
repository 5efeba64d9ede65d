// The sample kernels in 32-byte AVX2 vectors. Built with -mavx2 (usb.cmake)
// and used only where the CPU reports it.

#if defined(__x86_64__)

#define SAMPLE_VECTOR_BYTES 32
#define SAMPLE_KERNEL_SET kAvx2
#define SAMPLE_KERNEL_NAME "avx2"
#include "SampleKernelsVector.inl"

#endif
