target_sources(velmora_objects PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/I2cAccess.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CsiLineConverters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CsiPacked12.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CsiPacked12Ssse3.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CsiPacked12Avx2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CsiPacked12Avx512.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CsiPacked12Neon.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CsiDiscovery.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VelmoraTOFCSISensor.cpp)

# Packed 12-bit unpacking per instruction set, chosen at run time (CsiPacked12.cpp).
velmora_x86_extension_source(velmora_objects ${CMAKE_CURRENT_LIST_DIR}/CsiPacked12Ssse3.cpp "-mssse3")
velmora_x86_extension_source(velmora_objects ${CMAKE_CURRENT_LIST_DIR}/CsiPacked12Avx2.cpp "-mavx2")
velmora_x86_extension_source(velmora_objects ${CMAKE_CURRENT_LIST_DIR}/CsiPacked12Avx512.cpp "-mavx512vbmi;-mavx512bw")
