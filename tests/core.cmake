# Camera core: lifecycle, controls, frame pool, capture thread, platform detection.
add_executable(camera_core_test
  ${CMAKE_CURRENT_LIST_DIR}/camera_core_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_pool_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform_detection_test.cpp)
target_include_directories(camera_core_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/support)
target_link_libraries(camera_core_test PRIVATE velmora_static GTest::gtest_main)
gtest_discover_tests(camera_core_test DISCOVERY_TIMEOUT 60)
velmora_test_labels(camera_core_test core stream)

add_executable(capture_alloc_test ${CMAKE_CURRENT_LIST_DIR}/capture_alloc_test.cpp)
target_include_directories(capture_alloc_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/support)
target_link_libraries(capture_alloc_test PRIVATE velmora_static GTest::gtest_main)
gtest_discover_tests(capture_alloc_test DISCOVERY_TIMEOUT 60)
velmora_test_labels(capture_alloc_test core stream)
