# CSI transport: I2C access, line converters, capture, discovery, and the
# emulated boards they are tested on.
add_library(velmora_emulated_board STATIC
  ${CMAKE_CURRENT_LIST_DIR}/emulated_board/EmulatedBoard.cpp)
target_include_directories(velmora_emulated_board PUBLIC ${CMAKE_CURRENT_LIST_DIR}/emulated_board)
target_link_libraries(velmora_emulated_board PUBLIC velmora_static velmora_scene)

add_executable(csi_test
  ${CMAKE_CURRENT_LIST_DIR}/csi_i2c_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/csi_converter_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/csi_sensor_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/csi_discovery_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/csi_fault_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/csi_receiver_test.cpp)
target_link_libraries(csi_test PRIVATE velmora_emulated_board GTest::gtest_main)
gtest_discover_tests(csi_test PROPERTIES LABELS "csi" DISCOVERY_TIMEOUT 60)

add_executable(csi_camera_test ${CMAKE_CURRENT_LIST_DIR}/csi_camera_test.cpp)
target_link_libraries(csi_camera_test PRIVATE velmora_emulated_board GTest::gtest_main)
gtest_discover_tests(csi_camera_test DISCOVERY_TIMEOUT 60)
velmora_test_labels(csi_camera_test csi stream)
