# Throw-away key pairs made at build time (the release key and the freshness
# key), and updater_keyed.exe: the program with both public keys compiled in,
# for the end-to-end tests.
find_program(OPENSSL_EXECUTABLE openssl REQUIRED)
# The key file's check runs CMake alone, the same for both builds.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_test(NAME update_key_file
           COMMAND ${CMAKE_COMMAND} -DOPENSSL=${OPENSSL_EXECUTABLE} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                   -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/update-key-test
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/update_key_test.cmake)
  add_test(NAME publisher_pins
           COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                   -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/publisher-pins-test
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/publisher_pins_test.cmake)
endif()
set(TEST_KEY_DIR ${CMAKE_BINARY_DIR}/test-key)
foreach(pair private freshness_private)
  string(REPLACE "private" "public" public_name ${pair})
  add_custom_command(
    OUTPUT ${TEST_KEY_DIR}/${pair}.pem ${TEST_KEY_DIR}/${public_name}.pem
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TEST_KEY_DIR}
    COMMAND sh -c "umask 077 && '${OPENSSL_EXECUTABLE}' genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '${TEST_KEY_DIR}/${pair}.pem'"
    COMMAND ${OPENSSL_EXECUTABLE} pkey -in ${TEST_KEY_DIR}/${pair}.pem -pubout -out ${TEST_KEY_DIR}/${public_name}.pem
    COMMENT "Making a throw-away key pair for the tests (${pair}.pem)"
    VERBATIM)
endforeach()
add_custom_command(
  OUTPUT ${TEST_KEY_DIR}/update_key.cpp
  COMMAND ${CMAKE_COMMAND} -DPEM=${TEST_KEY_DIR}/public.pem
          -DFRESHNESS_PEM=${TEST_KEY_DIR}/freshness_public.pem -DPRODUCT=${UPDATE_PRODUCT_NAME}
          -DSOURCE=${TEST_KEY_DIR}/update_key.cpp -P ${PROJECT_SOURCE_DIR}/cmake/UpdateKey.cmake
  DEPENDS ${TEST_KEY_DIR}/public.pem ${TEST_KEY_DIR}/freshness_public.pem
          ${PROJECT_SOURCE_DIR}/cmake/UpdateKey.cmake
  VERBATIM)
add_updater_program(updater_keyed ${TEST_KEY_DIR}/update_key.cpp ${PUBLISHER_PINS_SOURCE} ${UPDATE_SERVER_SCHEME_SOURCE}
                    ${INSTALL_STEPS_SOURCE})

# Three throw-away root keys and the first key statement, which names the
# test keys above with threshold 2 (tools/make_root_keys), and
# updater_rooted.exe built with them and no pins, for test_root_keys.
set(TEST_ROOT_DIR ${CMAKE_BINARY_DIR}/test-root)
set(TEST_ROOT_KEYS ${TEST_ROOT_DIR}/root1-public.pem ${TEST_ROOT_DIR}/root2-public.pem ${TEST_ROOT_DIR}/root3-public.pem)
add_custom_command(
  OUTPUT ${TEST_ROOT_DIR}/statement-1 ${TEST_ROOT_KEYS}
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tools/make_root_keys ${TEST_ROOT_DIR} ${TEST_KEY_DIR}/public.pem
          ${TEST_KEY_DIR}/freshness_public.pem
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tools/make_root_keys ${TEST_KEY_DIR}/public.pem
          ${TEST_KEY_DIR}/freshness_public.pem
  COMMENT "Making three throw-away root keys and the first key statement for the tests"
  VERBATIM)
string(REPLACE ";" "$<SEMICOLON>" root_list "${TEST_ROOT_KEYS}")
add_custom_command(
  OUTPUT ${TEST_ROOT_DIR}/update_key.cpp ${TEST_ROOT_DIR}/publisher_pins.cpp
  COMMAND ${CMAKE_COMMAND} -DPRODUCT=${UPDATE_PRODUCT_NAME} -DROOTS=${root_list} -DTHRESHOLD=2
          -DSTATEMENT=${TEST_ROOT_DIR}/statement-1 -DSOURCE=${TEST_ROOT_DIR}/update_key.cpp
          -P ${PROJECT_SOURCE_DIR}/cmake/UpdateKey.cmake
  COMMAND ${CMAKE_COMMAND} -DPINS= -DSOURCE=${TEST_ROOT_DIR}/publisher_pins.cpp
          -P ${PROJECT_SOURCE_DIR}/cmake/PublisherPins.cmake
  DEPENDS ${TEST_ROOT_DIR}/statement-1 ${TEST_ROOT_KEYS} ${PROJECT_SOURCE_DIR}/cmake/UpdateKey.cmake
          ${PROJECT_SOURCE_DIR}/cmake/PublisherPins.cmake
  VERBATIM)
add_updater_program(updater_rooted ${TEST_ROOT_DIR}/update_key.cpp ${TEST_ROOT_DIR}/publisher_pins.cpp
                    ${UPDATE_SERVER_SCHEME_SOURCE} ${INSTALL_STEPS_SOURCE})
