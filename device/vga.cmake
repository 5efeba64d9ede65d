# VGA model and the default configuration texts of its phase-processing library.
target_sources(velmora_objects PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/DefaultConfigFiles.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VelmoraDeviceVGA.cpp)

if(VELMORA_USE_VENDOR_SI4C)
  find_library(VELMORA_VENDOR_SI4C_LIBRARY NAMES si4c REQUIRED)
  target_link_libraries(velmora_objects PUBLIC si4c_api ${VELMORA_VENDOR_SI4C_LIBRARY})
else()
  target_link_libraries(velmora_objects PUBLIC si4c)
endif()
