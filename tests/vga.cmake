# VGA depth: default configuration files, the VGA model, the phase processor.
# Every test runs in a scratch directory of its own: a VGA start writes files
# into the working directory.
add_executable(vga_device_test
  ${CMAKE_CURRENT_LIST_DIR}/vga_config_files_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vga_device_test.cpp)
target_link_libraries(vga_device_test PRIVATE velmora_static GTest::gtest_main)
gtest_discover_tests(vga_device_test PROPERTIES LABELS "vga" DISCOVERY_TIMEOUT 60)

if(NOT VELMORA_USE_VENDOR_SI4C)
  target_compile_definitions(vga_device_test PRIVATE VGA_OWN_SI4C=1)
  target_link_libraries(vga_device_test PRIVATE si4c_core)

  add_executable(vga_si4c_test ${CMAKE_CURRENT_LIST_DIR}/vga_si4c_test.cpp)
  target_link_libraries(vga_si4c_test PRIVATE velmora_static si4c si4c_core velmora_scene GTest::gtest_main)
  gtest_discover_tests(vga_si4c_test PROPERTIES LABELS "vga" DISCOVERY_TIMEOUT 60)
endif()

# End to end over the virtual USB camera: needs both of this project's libraries.
if(NOT VELMORA_USE_VENDOR_SI4C AND NOT VELMORA_USE_VENDOR_EVK_SDK)
  add_executable(vga_camera_test ${CMAKE_CURRENT_LIST_DIR}/vga_camera_test.cpp)
  target_link_libraries(vga_camera_test PRIVATE velmora_static velmora_evk_sdk velmora_scene si4c_core
                        GTest::gtest_main)
  gtest_discover_tests(vga_camera_test DISCOVERY_TIMEOUT 60)
  velmora_test_labels(vga_camera_test vga usb stream)
endif()

# Over the emulated board: the module-calibration path against its control
# chip (whose records are in the format of this project's phase processor),
# and the whole camera.
if(TARGET velmora_emulated_board AND NOT VELMORA_USE_VENDOR_SI4C)
  add_executable(vga_module_test ${CMAKE_CURRENT_LIST_DIR}/vga_module_calibration_test.cpp)
  target_link_libraries(vga_module_test PRIVATE velmora_emulated_board si4c_core GTest::gtest_main)
  gtest_discover_tests(vga_module_test DISCOVERY_TIMEOUT 60)
  velmora_test_labels(vga_module_test vga csi)

  add_executable(vga_csi_camera_test ${CMAKE_CURRENT_LIST_DIR}/vga_csi_camera_test.cpp)
  target_link_libraries(vga_csi_camera_test PRIVATE velmora_emulated_board si4c_core GTest::gtest_main)
  gtest_discover_tests(vga_csi_camera_test DISCOVERY_TIMEOUT 60)
  velmora_test_labels(vga_csi_camera_test vga csi stream)
endif()
