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
add_program_variant(updater_keyed KEY ${TEST_KEY_DIR}/update_key.cpp)
