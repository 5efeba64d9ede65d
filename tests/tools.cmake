# Tests of the companion package velmora_tools (tests/tools/test_*.py), the
# udev rules and the installed tree. They run against the built Python
# module; the package itself comes from the source tree.
set(velmora_tools_tests pointcloud colormap recording replay host errors)
set(velmora_tools_py27_tests recording host errors)

foreach(module_target velmora_python3 velmora_python27)
  if(NOT TARGET ${module_target})
    continue()
  endif()
  get_target_property(tools_interpreter ${module_target} VELMORA_INTERPRETER)
  string(REPLACE "velmora_" "" flavour ${module_target})
  if(module_target STREQUAL "velmora_python3")
    set(tests_here ${velmora_tools_tests})
  else()
    set(tests_here ${velmora_tools_py27_tests})
  endif()
  foreach(short_name ${tests_here})
    set(test_name ${flavour}_tools_${short_name})
    add_test(NAME ${test_name}
      COMMAND ${tools_interpreter} -m unittest -v test_${short_name}
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    set_tests_properties(${test_name} PROPERTIES
      ENVIRONMENT "PYTHONPATH=$<TARGET_FILE_DIR:${module_target}>:${PROJECT_SOURCE_DIR}/tools:${CMAKE_CURRENT_SOURCE_DIR}/tools;PYTHONDONTWRITEBYTECODE=1"
      LABELS "python;tools"
      TIMEOUT 300)
  endforeach()
endforeach()

# Syntax of the udev rules; needs no module.
find_program(VELMORA_TOOLS_TEST_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(VELMORA_TOOLS_TEST_PYTHON3)
  add_test(NAME packaging_udev_rules
    COMMAND ${VELMORA_TOOLS_TEST_PYTHON3} -m unittest -v test_udev_rules
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(packaging_udev_rules PROPERTIES
    ENVIRONMENT "PYTHONPATH=${CMAKE_CURRENT_SOURCE_DIR}/tools;PYTHONDONTWRITEBYTECODE=1"
    LABELS packaging TIMEOUT 60)
endif()

# The installed tree used from outside the source tree: cmake --install into
# a temporary prefix, the module and velmora_tools imported from there, the
# example C++ consumer built against it with find_package and pkg-config.
if(TARGET velmora_python3)
  get_target_property(tools_interpreter velmora_python3 VELMORA_INTERPRETER)
  add_test(NAME packaging_install_prefix
    COMMAND ${tools_interpreter} -m unittest -v test_installed
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(packaging_install_prefix PROPERTIES
    ENVIRONMENT "PYTHONPATH=${CMAKE_CURRENT_SOURCE_DIR}/tools;PYTHONDONTWRITEBYTECODE=1;VELMORA_TEST_BUILD_DIR=${CMAKE_BINARY_DIR};VELMORA_TEST_SOURCE_DIR=${PROJECT_SOURCE_DIR};VELMORA_TEST_CMAKE=${CMAKE_COMMAND};VELMORA_TEST_GENERATOR=${CMAKE_GENERATOR};VELMORA_TEST_FIXED_PYTHON_DIR=${VELMORA_PYTHON3_INSTALL_DIR};VELMORA_TEST_VERSION=${PROJECT_VERSION}"
    LABELS packaging
    TIMEOUT 600)
endif()
