// The sample kernels in 64-byte AVX-512 vectors; 16-bit lanes need AVX-512BW.
// Built with -mavx512bw (usb.cmake) and used only where the CPU reports it.

#if defined(__x86_64__)

#define SAMPLE_VECTOR_BYTES 64
#define SAMPLE_KERNEL_SET kAvx512
#define SAMPLE_KERNEL_NAME "avx512bw"
#include "SampleKernelsVector.inl"

#endif
