# Python binding tests: the same unittest files run under every interpreter a
# module was built for, against that interpreter's module.
file(GLOB velmora_python_test_files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/python/test_*.py)
foreach(module_target velmora_python3 velmora_python27)
  if(NOT TARGET ${module_target})
    continue()
  endif()
  get_target_property(interpreter ${module_target} VELMORA_INTERPRETER)
  string(REPLACE "velmora_" "" flavour ${module_target})
  foreach(test_file ${velmora_python_test_files})
    get_filename_component(test_module ${test_file} NAME_WE)
    string(REPLACE "test_" "" short_name ${test_module})
    set(test_name ${flavour}_${short_name})
    add_test(NAME ${test_name}
      COMMAND ${interpreter} -m unittest -v ${test_module}
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    set_tests_properties(${test_name} PROPERTIES
      ENVIRONMENT "PYTHONPATH=$<TARGET_FILE_DIR:${module_target}>:${CMAKE_CURRENT_SOURCE_DIR}/python;PYTHONDONTWRITEBYTECODE=1"
      LABELS python
      TIMEOUT 300)
  endforeach()
endforeach()
