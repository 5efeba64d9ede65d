# This project's own evaluation-kit library: a simulated camera module with the
# vendor's C interface. Skipped when a vendor-supplied library is linked instead.
if(NOT VELMORA_USE_VENDOR_EVK_SDK)
  add_library(velmora_evk_sdk SHARED
    ${CMAKE_CURRENT_LIST_DIR}/evk_sdk/src/EvkApi.cpp
    ${CMAKE_CURRENT_LIST_DIR}/evk_sdk/src/EvkConfig.cpp
    ${CMAKE_CURRENT_LIST_DIR}/evk_sdk/src/EvkFrameSource.cpp
    ${CMAKE_CURRENT_LIST_DIR}/evk_sdk/src/EvkModule.cpp)
  target_include_directories(velmora_evk_sdk
    PUBLIC ${CMAKE_CURRENT_LIST_DIR}/evk_sdk/include
    PRIVATE ${CMAKE_CURRENT_LIST_DIR}/evk_sdk/src)
  target_link_libraries(velmora_evk_sdk PRIVATE velmora_scene Threads::Threads)
endif()
