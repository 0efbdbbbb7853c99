# A throw-away certificate authority and two publishers it certified, "a"
# and "b" (tools/make_publishers), and the keyed program with pins compiled
# in: updater_pinned on a's key, updater_pinned_two on a's and b's,
# updater_pinned_ca on the authority's. updater_keyed, the same program
# without pins, installs what they refuse. updater_pinned_unkeyed, with a's
# pin and the build's keys (none), updates from the benchmark's unsigned lists.
set(TEST_PUBLISHERS_DIR ${CMAKE_BINARY_DIR}/test-publishers)
add_custom_command(
  OUTPUT ${TEST_PUBLISHERS_DIR}/ca.spki ${TEST_PUBLISHERS_DIR}/a.spki ${TEST_PUBLISHERS_DIR}/b.spki
         ${TEST_PUBLISHERS_DIR}/forged.pem
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tools/make_publishers ${TEST_PUBLISHERS_DIR}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tools/make_publishers
  COMMENT "Making a throw-away certificate authority and two code-signing publishers for the tests"
  VERBATIM)
# Made once, before any program that pins them: parallel runs would make
# different keys.
add_custom_target(test_publishers
  DEPENDS ${TEST_PUBLISHERS_DIR}/ca.spki ${TEST_PUBLISHERS_DIR}/a.spki ${TEST_PUBLISHERS_DIR}/b.spki)
foreach(variant pinned:a:keyed pinned_two:a,b:keyed pinned_ca:ca:keyed pinned_unkeyed:a:build)
  string(REPLACE ":" ";" variant ${variant})
  list(GET variant 0 suffix)
  list(GET variant 1 keys)
  list(GET variant 2 key_source)
  if(key_source STREQUAL "keyed")
    set(key_source ${TEST_KEY_DIR}/update_key.cpp)
  else()
    set(key_source ${UPDATE_KEY_SOURCE})
  endif()
  set(pins_source ${TEST_PUBLISHERS_DIR}/${suffix}_pins.cpp)
  add_custom_command(
    OUTPUT ${pins_source}
    COMMAND ${CMAKE_COMMAND} -DKEYS=${keys} -DDIR=${TEST_PUBLISHERS_DIR} -DSOURCE=${pins_source}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/publisher_pins_of_keys.cmake
    DEPENDS ${TEST_PUBLISHERS_DIR}/ca.spki ${TEST_PUBLISHERS_DIR}/a.spki ${TEST_PUBLISHERS_DIR}/b.spki
            ${CMAKE_CURRENT_SOURCE_DIR}/cmake/publisher_pins_of_keys.cmake
            ${PROJECT_SOURCE_DIR}/cmake/PublisherPins.cmake
    VERBATIM)
  add_updater_program(updater_${suffix} ${key_source} ${pins_source}
                      ${UPDATE_SERVER_SCHEME_SOURCE} ${INSTALL_STEPS_SOURCE})
  add_dependencies(updater_${suffix} test_publishers)
endforeach()

# The stand-in launcher signed with those certificates, for the publisher
# check's unit test.
set(SIGNED_STAND_INS_DIR ${CMAKE_BINARY_DIR}/signed-stand-ins)
add_custom_command(OUTPUT ${SIGNED_STAND_INS_DIR}/a.exe
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tools/sign_stand_ins ${TEST_PUBLISHERS_DIR}
          $<TARGET_FILE:fake_menu> ${SIGNED_STAND_INS_DIR}
  DEPENDS tools/sign_stand_ins ${TEST_PUBLISHERS_DIR}/forged.pem fake_menu VERBATIM)
add_custom_target(signed_stand_ins DEPENDS ${SIGNED_STAND_INS_DIR}/a.exe)
add_dependencies(update_logic_tests signed_stand_ins)
target_compile_definitions(update_logic_tests PRIVATE
  TEST_PUBLISHERS="${TEST_PUBLISHERS_DIR}" SIGNED_STAND_INS="${SIGNED_STAND_INS_DIR}")
