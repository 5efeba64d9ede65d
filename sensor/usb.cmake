# USB transport over the evaluation-kit library.
target_sources(velmora_objects PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/VelmoraTOFUSBSensor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UsbSampleConversion.cpp
  # Bulk sample work shared by both transports and the HQVGA raw output.
  ${CMAKE_CURRENT_LIST_DIR}/SampleKernelsBase.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SampleKernelsAvx2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SampleKernelsAvx512.cpp)
velmora_x86_extension_source(velmora_objects ${CMAKE_CURRENT_LIST_DIR}/SampleKernelsAvx2.cpp "-mavx2")
velmora_x86_extension_source(velmora_objects ${CMAKE_CURRENT_LIST_DIR}/SampleKernelsAvx512.cpp "-mavx512bw")
if(VELMORA_USE_VENDOR_EVK_SDK)
  # The transport declares the library's calls itself; only the binary comes from the vendor.
  find_library(VELMORA_EVK_SDK_LIBRARY velmora_evk_sdk REQUIRED)
  target_include_directories(velmora_objects PUBLIC ${PROJECT_SOURCE_DIR}/vendor/evk_sdk/include)
  target_link_libraries(velmora_objects PUBLIC ${VELMORA_EVK_SDK_LIBRARY})
else()
  target_link_libraries(velmora_objects PUBLIC velmora_evk_sdk)
endif()
