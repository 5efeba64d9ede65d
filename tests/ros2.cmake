# The ROS 2 node: command line, parameters and calibration at the unit level;
# end to end (one at a time: ctest -L ros2) against a subscriber on Fast DDS.
if(TARGET velmora_camera_ros2 AND NOT VELMORA_USE_VENDOR_EVK_SDK)
  add_executable(ros2_test ${CMAKE_CURRENT_LIST_DIR}/ros2_test.cpp)
  target_link_libraries(ros2_test PRIVATE velmora_ros2 GTest::gtest_main)
  gtest_discover_tests(ros2_test PROPERTIES LABELS "ros2" DISCOVERY_TIMEOUT 60)

  find_program(VELMORA_FASTDDSGEN fastddsgen)
  find_package(fastcdr QUIET CONFIG)
  find_package(fastrtps QUIET CONFIG)
  if(NOT (VELMORA_FASTDDSGEN AND fastcdr_FOUND AND fastrtps_FOUND))
    set(velmora_probe_message "ROS 2 end-to-end tests not built: fastddsgen or libfastrtps-dev missing (scripts/setup.sh ros2)")
    if(VELMORA_REQUIRE_ROS2)
      message(FATAL_ERROR "${velmora_probe_message}")
    endif()
    message(STATUS "${velmora_probe_message}")
    return()
  endif()
  # The subscriber's types: fastddsgen from the node's own IDL.
  set(velmora_probe_types ${CMAKE_CURRENT_BINARY_DIR}/ros2_probe_types)
  file(GLOB velmora_probe_idl CONFIGURE_DEPENDS ${VELMORA_ROS2_MSG_DIR}/*.idl)
  set(velmora_probe_sources "")
  foreach(idl ${velmora_probe_idl})
    get_filename_component(name ${idl} NAME_WE)
    list(APPEND velmora_probe_sources ${velmora_probe_types}/${name}.cxx ${velmora_probe_types}/${name}PubSubTypes.cxx)
  endforeach()
  add_custom_command(OUTPUT ${velmora_probe_sources}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${velmora_probe_types}
    COMMAND ${VELMORA_FASTDDSGEN} -replace -d ${velmora_probe_types} -I ${VELMORA_ROS2_MSG_DIR} ${velmora_probe_idl} > /dev/null
    DEPENDS ${velmora_probe_idl} COMMENT "Generating the Fast DDS types of the ROS 2 messages")
  set_source_files_properties(${velmora_probe_sources} PROPERTIES COMPILE_OPTIONS "-w")  # generated, not ours
  add_executable(ros2_probe ${CMAKE_CURRENT_LIST_DIR}/ros2/probe.cpp ${velmora_probe_sources})
  target_include_directories(ros2_probe SYSTEM PRIVATE ${velmora_probe_types})
  target_link_libraries(ros2_probe PRIVATE fastrtps fastcdr)

  add_test(NAME ros2_node COMMAND /usr/bin/python3 -W ignore::ResourceWarning -m unittest -v test_ros2
           WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/ros2)
  set_tests_properties(ros2_node PROPERTIES LABELS "ros2" TIMEOUT 300 ENVIRONMENT
    "VELMORA_ROS2_NODE=$<TARGET_FILE:velmora_camera_ros2>;VELMORA_ROS2_PROBE=$<TARGET_FILE:ros2_probe>;PYTHONDONTWRITEBYTECODE=1")
endif()
