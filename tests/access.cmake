# The set-up command's bus discovery on the emulated boards, and its rule file.
add_executable(access_test ${CMAKE_CURRENT_LIST_DIR}/access_test.cpp)
target_link_libraries(access_test PRIVATE velmora_control_bus_access velmora_emulated_board GTest::gtest_main)
gtest_discover_tests(access_test DISCOVERY_TIMEOUT 60)
velmora_test_labels(access_test csi access)
