# Scene physics shared by the simulated camera module and the emulated boards.
add_library(velmora_scene STATIC
  ${CMAKE_CURRENT_LIST_DIR}/scene/VelmoraScene.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scene/VgaRender.cpp)
set_target_properties(velmora_scene PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(velmora_scene PUBLIC ${CMAKE_CURRENT_LIST_DIR}/scene)
