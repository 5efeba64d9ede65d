# Per-frame kernels side by side with their references, and the whole pipeline.
add_executable(kernels_bench ${CMAKE_CURRENT_LIST_DIR}/kernels_bench.cpp)
target_link_libraries(kernels_bench PRIVATE velmora_static velmora_scene benchmark::benchmark)

# The whole pipeline over the virtual camera; it counts captures through the
# simulated module's test view, which a vendor library does not have.
if(NOT VELMORA_USE_VENDOR_EVK_SDK)
  add_executable(pipeline_bench ${CMAKE_CURRENT_LIST_DIR}/pipeline_bench.cpp)
  target_link_libraries(pipeline_bench PRIVATE velmora_static velmora_evk_sdk benchmark::benchmark)
  # The depth filters' quality against the virtual camera's ground truth.
  add_executable(depth_quality ${CMAKE_CURRENT_LIST_DIR}/depth_quality.cpp)
  target_link_libraries(depth_quality PRIVATE velmora_static velmora_evk_sdk velmora_scene)
endif()

# This project's phase processor next to its scalar reference.
if(NOT VELMORA_USE_VENDOR_SI4C)
  add_executable(si4c_bench ${CMAKE_CURRENT_LIST_DIR}/si4c_bench.cpp)
  target_link_libraries(si4c_bench PRIVATE si4c_core velmora_scene benchmark::benchmark)
endif()
