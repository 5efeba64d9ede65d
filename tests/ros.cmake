# The ROS camera node: its middleware-independent core against the virtual
# camera, and (where the node is built) the node against a real ROS master on
# the loopback address.
if(TARGET velmora_ros_core AND NOT VELMORA_USE_VENDOR_EVK_SDK)
  add_executable(ros_core_test ${CMAKE_CURRENT_LIST_DIR}/ros_core_test.cpp)
  target_link_libraries(ros_core_test PRIVATE velmora_ros_core velmora_evk_sdk GTest::gtest_main)
  gtest_discover_tests(ros_core_test DISCOVERY_TIMEOUT 60)
  velmora_test_labels(ros_core_test ros stream)
endif()

# Against a ROS master of the test's own on 127.0.0.1 (a free port).
if(TARGET velmora_camera_node)
  foreach(short_name node network)
    add_test(NAME ros_${short_name}
      COMMAND /usr/bin/python3 -W ignore::ResourceWarning -W ignore::DeprecationWarning -m unittest -v test_${short_name}
      WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/ros)
    set_tests_properties(ros_${short_name} PROPERTIES
      ENVIRONMENT "VELMORA_ROS_BUILD=${PROJECT_BINARY_DIR}/ros;PYTHONDONTWRITEBYTECODE=1"
      LABELS "ros;rosnode"
      TIMEOUT 300)
  endforeach()
endif()
