add_executable(stream_depth ${CMAKE_CURRENT_LIST_DIR}/stream_depth.cpp)
target_link_libraries(stream_depth PRIVATE velmora)
