target_sources(velmora_objects PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/I2cAccess.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CsiLineConverters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CsiDiscovery.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VelmoraTOFCSISensor.cpp)
