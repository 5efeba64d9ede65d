# Stress of frame delivery and the camera's lifecycle against the virtual
# camera; scripts/stress.sh runs it under ThreadSanitizer. Label "stress".
if(NOT VELMORA_USE_VENDOR_EVK_SDK)
  add_executable(stress_camera_test ${CMAKE_CURRENT_LIST_DIR}/stress_camera_test.cpp)
  target_link_libraries(stress_camera_test PRIVATE velmora_static velmora_evk_sdk GTest::gtest_main)
  gtest_discover_tests(stress_camera_test PROPERTIES LABELS "stress" TIMEOUT 900 DISCOVERY_TIMEOUT 60)
endif()
