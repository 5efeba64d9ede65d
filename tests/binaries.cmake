# The library search paths of the build tree's binaries.
find_program(VELMORA_BINARIES_TEST_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(VELMORA_BINARIES_TEST_PYTHON3 AND TARGET velmora-i2c-access)
  add_test(NAME packaging_binaries COMMAND ${VELMORA_BINARIES_TEST_PYTHON3} -m unittest -v test_binaries
           WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/tools)
  set_tests_properties(packaging_binaries PROPERTIES LABELS packaging TIMEOUT 120 ENVIRONMENT
    "PYTHONDONTWRITEBYTECODE=1;VELMORA_TEST_BUILD_DIR=${CMAKE_BINARY_DIR};VELMORA_TEST_PRIVILEGED_TOOL=$<TARGET_FILE:velmora-i2c-access>")
endif()
