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

# The vector kernels' exact sums must not be fused into multiply-adds.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/HqvgaDepthSse2.cpp ${CMAKE_CURRENT_LIST_DIR}/HqvgaDepthNeon.cpp
  TARGET_DIRECTORY velmora_objects PROPERTIES COMPILE_OPTIONS "-ffp-contract=off")
velmora_x86_extension_source(velmora_objects ${CMAKE_CURRENT_LIST_DIR}/HqvgaDepthAvx2.cpp "-mavx2;-mfma;-ffp-contract=off")
velmora_x86_extension_source(velmora_objects ${CMAKE_CURRENT_LIST_DIR}/HqvgaDepthAvx512.cpp
  "-mavx512f;-mavx2;-mfma;-ffp-contract=off")
