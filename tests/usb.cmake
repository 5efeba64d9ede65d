# USB transport, HQVGA model and the virtual camera end to end.
add_executable(hqvga_test ${CMAKE_CURRENT_LIST_DIR}/hqvga_test.cpp)
target_link_libraries(hqvga_test PRIVATE velmora_static GTest::gtest_main)
gtest_discover_tests(hqvga_test PROPERTIES LABELS "hqvga" DISCOVERY_TIMEOUT 60)

# These look inside the simulated module; a vendor library has no such view.
if(NOT VELMORA_USE_VENDOR_EVK_SDK)
  add_executable(usb_sensor_test ${CMAKE_CURRENT_LIST_DIR}/usb_sensor_test.cpp)
  target_link_libraries(usb_sensor_test PRIVATE velmora_static velmora_evk_sdk GTest::gtest_main)
  gtest_discover_tests(usb_sensor_test PROPERTIES LABELS "usb" DISCOVERY_TIMEOUT 60)

  add_executable(virtual_camera_test ${CMAKE_CURRENT_LIST_DIR}/virtual_camera_test.cpp)
  target_link_libraries(virtual_camera_test PRIVATE velmora_static velmora_evk_sdk velmora_scene GTest::gtest_main)
  gtest_discover_tests(virtual_camera_test DISCOVERY_TIMEOUT 60)
  velmora_test_labels(virtual_camera_test usb stream)

  # A range change while streaming, over the virtual camera and an emulated CSI board.
  add_executable(range_change_test ${CMAKE_CURRENT_LIST_DIR}/range_change_test.cpp)
  target_link_libraries(range_change_test PRIVATE velmora_emulated_board GTest::gtest_main)
  gtest_discover_tests(range_change_test DISCOVERY_TIMEOUT 60)
  velmora_test_labels(range_change_test usb csi stream)
endif()
