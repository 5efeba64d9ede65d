# The ROS camera node: its middleware-independent core against the virtual
# camera, and (where the node is built) the node against a real ROS master on
# the loopback address.
if(TARGET velmora_ros_core AND NOT VELMORA_USE_VENDOR_EVK_SDK)
  add_executable(ros_core_test ${CMAKE_CURRENT_LIST_DIR}/ros_core_test.cpp)
  target_link_libraries(ros_core_test PRIVATE velmora_ros_core GTest::gtest_main)
  gtest_discover_tests(ros_core_test PROPERTIES LABELS "ros;stream" DISCOVERY_TIMEOUT 60)
endif()
