# Vectorised per-frame code against its plain scalar references.
add_executable(kernel_agreement_test ${CMAKE_CURRENT_LIST_DIR}/kernel_agreement_test.cpp)
target_link_libraries(kernel_agreement_test PRIVATE velmora_static GTest::gtest_main)
gtest_discover_tests(kernel_agreement_test PROPERTIES LABELS "perf" DISCOVERY_TIMEOUT 60)

# This project's phase processor against its scalar reference.
if(NOT VELMORA_USE_VENDOR_SI4C)
  add_executable(si4c_agreement_test ${CMAKE_CURRENT_LIST_DIR}/si4c_agreement_test.cpp)
  target_include_directories(si4c_agreement_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(si4c_agreement_test PRIVATE si4c_core velmora_scene GTest::gtest_main)
  gtest_discover_tests(si4c_agreement_test DISCOVERY_TIMEOUT 60)
  velmora_test_labels(si4c_agreement_test perf vga)
endif()
