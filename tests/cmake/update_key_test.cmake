# Checks cmake/UpdateKey.cmake on key files made here with openssl: a P-256
# public key becomes its X‖Y point; anything else stops with a message.
# cmake -DOPENSSL=<openssl> -DSOURCE_DIR=<repository> -DWORK_DIR=<folder> -P update_key_test.cmake

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result ERROR_VARIABLE error OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed: ${error}")
  endif()
endfunction()

function(convert pem result_var)
  execute_process(COMMAND ${CMAKE_COMMAND} -DPEM=${pem} -DSOURCE=${WORK_DIR}/key.cpp
                          -P ${SOURCE_DIR}/cmake/UpdateKey.cmake
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  set(${result_var} ${result} PARENT_SCOPE)
endfunction()

run(${OPENSSL} genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ${WORK_DIR}/p256.pem)
run(${OPENSSL} pkey -in ${WORK_DIR}/p256.pem -pubout -out ${WORK_DIR}/p256_public.pem)
run(${OPENSSL} pkey -pubin -in ${WORK_DIR}/p256_public.pem -outform DER -out ${WORK_DIR}/p256.der)
run(${OPENSSL} genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out ${WORK_DIR}/p384.pem)
run(${OPENSSL} pkey -in ${WORK_DIR}/p384.pem -pubout -out ${WORK_DIR}/p384_public.pem)
run(${OPENSSL} pkey -pubin -in ${WORK_DIR}/p256_public.pem -ec_conv_form compressed
               -out ${WORK_DIR}/compressed_public.pem)
file(READ ${WORK_DIR}/p256_public.pem good)
string(REPLACE "MFkw" "MFkx" changed "${good}")
file(WRITE ${WORK_DIR}/changed_public.pem "${changed}")
string(REGEX REPLACE "\n[A-Za-z0-9+/]+==?\n" "\n" cut "${good}")
file(WRITE ${WORK_DIR}/cut_public.pem "${cut}")

convert(${WORK_DIR}/p256_public.pem result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "a P-256 public key was refused")
endif()
file(READ ${WORK_DIR}/p256.der der HEX)
string(SUBSTRING "${der}" 54 128 point_hex)
file(READ ${WORK_DIR}/key.cpp source)
string(REGEX MATCH "point = {([0-9, ]+)}" found "${source}")
string(REPLACE ", " ";" point "${CMAKE_MATCH_1}")
set(written_hex "")
foreach(byte IN LISTS point)
  math(EXPR byte "${byte}" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE "^0x(.)$" "0\\1" byte "${byte}")
  string(REGEX REPLACE "^0x" "" byte "${byte}")
  string(APPEND written_hex "${byte}")
endforeach()
string(TOLOWER "${written_hex}" written_hex)
if(NOT written_hex STREQUAL point_hex)
  message(FATAL_ERROR "wrong point: ${written_hex}, expected ${point_hex}")
endif()

foreach(bad p256.pem p384_public.pem compressed_public.pem changed_public.pem cut_public.pem
            missing.pem)
  convert(${WORK_DIR}/${bad} result)
  if(result EQUAL 0)
    message(FATAL_ERROR "${bad} was taken for a P-256 public key")
  endif()
endforeach()
