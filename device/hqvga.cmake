# HQVGA depth model and its scalar reference.
target_sources(velmora_objects PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/VelmoraDeviceHQVGA.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HqvgaReference.cpp)
