# HQVGA depth model, its per-frame kernels and its scalar reference.
target_sources(velmora_objects PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/VelmoraDeviceHQVGA.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HqvgaKernels.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HqvgaReference.cpp
  # One vector kernel per instruction set; each is empty on other architectures.
  ${CMAKE_CURRENT_LIST_DIR}/HqvgaDepthSse2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HqvgaDepthAvx2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HqvgaDepthAvx512.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HqvgaDepthNeon.cpp)

# Beyond the SSE2 baseline of x86-64, a kernel is built for its extension and
# called only where the CPU reports it (HqvgaKernels.cpp): the build machine's
# CPU never matters.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/HqvgaDepthAvx2.cpp TARGET_DIRECTORY velmora_objects
                              PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/HqvgaDepthAvx512.cpp TARGET_DIRECTORY velmora_objects
                              PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx2;-mfma")
endif()
