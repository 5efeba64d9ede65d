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

# Packed 12-bit unpacking beyond the SSE2 baseline of x86-64: built for its
# extension, called only where the CPU reports it (CsiPacked12.cpp).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/CsiPacked12Ssse3.cpp TARGET_DIRECTORY velmora_objects
                              PROPERTIES COMPILE_OPTIONS "-mssse3")
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/CsiPacked12Avx2.cpp TARGET_DIRECTORY velmora_objects
                              PROPERTIES COMPILE_OPTIONS "-mavx2")
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/CsiPacked12Avx512.cpp TARGET_DIRECTORY velmora_objects
                              PROPERTIES COMPILE_OPTIONS "-mavx512vbmi;-mavx512bw")
endif()
