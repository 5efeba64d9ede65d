# The set-up scripts' own logic (needs no build).
find_program(VELMORA_SCRIPTS_TEST_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(VELMORA_SCRIPTS_TEST_PYTHON3)
  add_test(NAME scripts_dependencies
    COMMAND ${VELMORA_SCRIPTS_TEST_PYTHON3} -m unittest -v test_dependencies
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/scripts)
  set_tests_properties(scripts_dependencies PROPERTIES
    ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1" LABELS tools TIMEOUT 60)
endif()
