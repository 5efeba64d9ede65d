# The phase-processing library of the VGA model. By default this project's own
# processor is built as libsi4c.so; with VELMORA_USE_VENDOR_SI4C the driver
# links a vendor library of that name instead (device/vga.cmake).
add_library(si4c_api INTERFACE)
target_include_directories(si4c_api INTERFACE ${CMAKE_CURRENT_LIST_DIR}/si4c)

if(NOT VELMORA_USE_VENDOR_SI4C)
  # The processor's parts, also linked directly by its tests.
  add_library(si4c_core STATIC
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cConfig.cpp
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cProcessor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cReference.cpp
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cValidity.cpp
    # The per-pixel measurement: scalar, and one vector build per instruction set.
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cMeasure.cpp
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cMeasureSse2.cpp
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cMeasureAvx2.cpp
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cMeasureAvx512.cpp
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cMeasureNeon.cpp)
  set_target_properties(si4c_core PROPERTIES POSITION_INDEPENDENT_CODE ON)
  # Beyond the SSE2 baseline of x86-64 a build is made for its extension and
  # run only where the CPU reports it (Si4cMeasure.cpp).
  # The vector measurement and filters round every step as the scalar ones
  # do: no contraction of a multiply and an add into one fused step, in the
  # scalar form either (the temporal filter's past + weight * difference).
  set(si4c_vector_sources
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cMeasure.cpp
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cMeasureSse2.cpp
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cMeasureNeon.cpp)
  set_source_files_properties(${si4c_vector_sources} TARGET_DIRECTORY si4c_core
                              PROPERTIES COMPILE_OPTIONS "-ffp-contract=off")
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cMeasureAvx2.cpp TARGET_DIRECTORY si4c_core
                                PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma;-ffp-contract=off")
    set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cMeasureAvx512.cpp TARGET_DIRECTORY si4c_core
                                PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx2;-mfma;-ffp-contract=off")
  else()
    set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cMeasureAvx2.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cMeasureAvx512.cpp TARGET_DIRECTORY si4c_core
                                PROPERTIES COMPILE_OPTIONS "-ffp-contract=off")
  endif()
  target_link_libraries(si4c_core PUBLIC si4c_api Threads::Threads)

  add_library(si4c SHARED ${CMAKE_CURRENT_LIST_DIR}/si4c/si4c.cpp)
  target_link_libraries(si4c PUBLIC si4c_api PRIVATE si4c_core)
endif()
