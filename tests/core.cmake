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

add_executable(depth_geometry_test ${CMAKE_CURRENT_LIST_DIR}/depth_geometry_test.cpp)
target_include_directories(depth_geometry_test PRIVATE ${PROJECT_SOURCE_DIR}/camera)
target_link_libraries(depth_geometry_test PRIVATE velmora_static velmora_evk_sdk GTest::gtest_main)
gtest_discover_tests(depth_geometry_test DISCOVERY_TIMEOUT 60)
velmora_test_labels(depth_geometry_test core stream)
