# The unit test programs, their Wine prefixes and the vectors they read.

# A Wine prefix made by its own setup test, for the unit tests that name it.
function(add_unit_prefix name)
  add_test(NAME wine_prefix_${name}
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tools/prepare_prefix ${CMAKE_BINARY_DIR}/wine-${name})
  set_tests_properties(wine_prefix_${name} PROPERTIES FIXTURES_SETUP wine_${name})
endfunction()

add_unit_prefix(unit)
# Wine's own services start with the first program of a prefix and take its
# output with them; they live as long as the prefix's wineserver. So the
# unit tests, which share their prefix, find its wineserver and services up:
# started here with no output and ended after the last test; otherwise
# ctest would wait on the first test's output until the last test ends.
set(UNIT_WINE_ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine-unit;WINEDEBUG=-all")
add_test(NAME wine_session_unit
         COMMAND sh -c "wineserver -p >/dev/null 2>&1 && wine cmd /c exit >/dev/null 2>&1 </dev/null")
set_tests_properties(wine_session_unit PROPERTIES
  FIXTURES_SETUP wine_unit DEPENDS wine_prefix_unit ENVIRONMENT "${UNIT_WINE_ENVIRONMENT}")
add_test(NAME wine_session_unit_end COMMAND wineserver -k)
set_tests_properties(wine_session_unit_end PROPERTIES
  FIXTURES_CLEANUP wine_unit ENVIRONMENT "${UNIT_WINE_ENVIRONMENT}")
# Windows start Wine's desktop process, which lives as long as anything else
# runs in the prefix and holds the test's output open: the program that
# makes windows has a prefix of its own, or it would wait for the others.
add_unit_prefix(unit_windows)

# A unit test program; it links the program's installation step hook unless
# STEPS names another, and runs in the prefix "unit" unless PREFIX names another.
function(add_unit_test name)
  cmake_parse_arguments(PARSE_ARGV 1 UNIT "" "STEPS;PREFIX" "")
  if(NOT UNIT_STEPS)
    set(UNIT_STEPS ${INSTALL_STEPS_SOURCE})
  endif()
  if(NOT UNIT_PREFIX)
    set(UNIT_PREFIX unit)
  endif()
  add_executable(${name} ${UNIT_UNPARSED_ARGUMENTS} ${UPDATE_KEY_SOURCE} ${PUBLISHER_PINS_SOURCE}
                 ${UPDATE_SERVER_HTTP_SOURCE}
                 ${UNIT_STEPS})
  target_link_libraries(${name} PRIVATE updater_core GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine_${UNIT_PREFIX}
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine-${UNIT_PREFIX};WINEDEBUG=-all;LANG=pl_PL.UTF-8;LC_ALL=pl_PL.UTF-8")
endfunction()

add_unit_test(string_tests unit/text_fields_test.cpp unit/format_test.cpp unit/integer_text_test.cpp
              unit/decimal_text_test.cpp)
add_unit_test(text_device_tests unit/text_devices_test.cpp)
add_unit_test(file_system_tests unit/paths_test.cpp unit/files_test.cpp)
add_unit_test(dialog_tests unit/dialogs_test.cpp unit/side_picture_test.cpp ${UPDATER_RESOURCES}
              PREFIX unit_windows)
add_unit_test(update_logic_tests unit/update_list_test.cpp unit/staged_name_test.cpp
              unit/http_transfer_test.cpp unit/rate_floor_test.cpp unit/content_range_test.cpp
              unit/range_validator_test.cpp
              unit/file_attempts_test.cpp unit/install_test.cpp unit/signature_test.cpp
              unit/freshness_test.cpp unit/key_statement_test.cpp
              unit/path_limit_test.cpp unit/url_file_name_test.cpp unit/installation_lock_test.cpp
              unit/vcdiff_decoder_test.cpp unit/xz_decoder_test.cpp unit/rollout_group_test.cpp
              unit/pe_image_test.cpp unit/publisher_check_test.cpp unit/shared_rules_test.cpp
              unit/download_rooms_test.cpp)
target_link_libraries(update_logic_tests PRIVATE ws2_32)
add_unit_test(install_interruption_tests unit/install_interruption_test.cpp
              STEPS ${CMAKE_CURRENT_SOURCE_DIR}/unit/ending_steps.cpp)
# Thirty installations of 130 files, each ended and settled: a minute or two under Wine.
set_tests_properties(install_interruption_tests PROPERTIES TIMEOUT 600)
# The file names and the other rules (tests/data) both the program and the
# server are tested against, and the patches xdelta3 makes for the decoder
# before the tests run.
target_compile_definitions(update_logic_tests PRIVATE
  FILE_NAMES_LIST="${CMAKE_CURRENT_SOURCE_DIR}/data/file_names.txt"
  SHARED_VECTORS="${CMAKE_CURRENT_SOURCE_DIR}/data")

# Vectors a tool makes before update_logic_tests runs, in build/<name>;
# the tests find them under the macro DEFINE.
function(add_unit_vectors name define interpreter tool)
  set(folder ${CMAKE_BINARY_DIR}/${name})
  target_compile_definitions(update_logic_tests PRIVATE ${define}="${folder}")
  string(REPLACE "-" "_" test_name ${name})
  add_test(NAME ${test_name} COMMAND ${interpreter} ${CMAKE_CURRENT_SOURCE_DIR}/tools/${tool} ${folder})
  set_tests_properties(${test_name} PROPERTIES FIXTURES_SETUP ${test_name})
  set_property(TEST update_logic_tests APPEND PROPERTY FIXTURES_REQUIRED ${test_name})
endfunction()

add_unit_vectors(vcdiff-vectors VCDIFF_VECTORS ${Python3_EXECUTABLE} make_vcdiff_vectors)
# The .xz files xz makes for the other decoder, the same way.
add_unit_vectors(xz-vectors XZ_VECTORS ${Python3_EXECUTABLE} make_xz_vectors)
# Key statements and a reply under them, made by the server's code with throw-away keys.
find_program(PHP_EXECUTABLE php REQUIRED)
add_unit_vectors(statement-vectors STATEMENT_VECTORS ${PHP_EXECUTABLE} make_statement_vectors)
