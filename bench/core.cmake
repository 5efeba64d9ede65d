add_executable(capture_bench ${CMAKE_CURRENT_LIST_DIR}/capture_bench.cpp)
target_include_directories(capture_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(capture_bench PRIVATE velmora_static benchmark::benchmark)

add_executable(depth_filters_bench ${CMAKE_CURRENT_LIST_DIR}/depth_filters_bench.cpp)
target_include_directories(depth_filters_bench PRIVATE ${PROJECT_SOURCE_DIR}/camera)
target_link_libraries(depth_filters_bench PRIVATE velmora_static velmora_scene benchmark::benchmark)
