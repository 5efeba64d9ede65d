# The README's command blocks, run as a user copies them (they use the
# Python module, the tools and the ROS node of this build).
if(TARGET velmora_python3)
  find_program(VELMORA_README_TEST_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
  add_test(NAME readme_command_blocks
    COMMAND ${VELMORA_README_TEST_PYTHON3} -m unittest -v test_readme
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/readme)
  set_tests_properties(readme_command_blocks PROPERTIES
    ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1;VELMORA_TEST_BUILD_DIR=${CMAKE_BINARY_DIR};VELMORA_TEST_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    LABELS readme
    TIMEOUT 1200)
endif()
