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
    ${CMAKE_CURRENT_LIST_DIR}/si4c/Si4cReference.cpp)
  set_target_properties(si4c_core PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_link_libraries(si4c_core PUBLIC si4c_api Threads::Threads)

  add_library(si4c SHARED ${CMAKE_CURRENT_LIST_DIR}/si4c/si4c.cpp)
  target_link_libraries(si4c PUBLIC si4c_api PRIVATE si4c_core)
endif()
