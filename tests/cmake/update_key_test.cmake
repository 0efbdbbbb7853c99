# Checks cmake/UpdateKey.cmake on key files made here with openssl: a P-256
# public key becomes its X‖Y point; anything else, one key without the
# other, or a product name a "produkt=" line cannot carry stops with a
# message.
# cmake -DOPENSSL=<openssl> -DSOURCE_DIR=<repository> -DWORK_DIR=<folder> -P update_key_test.cmake

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result ERROR_VARIABLE error OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed: ${error}")
  endif()
endfunction()

# The release key pem with freshness key freshness_pem, for product.
function(convert pem freshness_pem product result_var)
  execute_process(COMMAND ${CMAKE_COMMAND} -DPEM=${pem} -DFRESHNESS_PEM=${freshness_pem}
                          -DPRODUCT=${product} -DSOURCE=${WORK_DIR}/key.cpp
                          -P ${SOURCE_DIR}/cmake/UpdateKey.cmake
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  set(${result_var} ${result} PARENT_SCOPE)
endfunction()

# The bytes of the point named name in the written source, as lowercase hex.
function(written_point name out_var)
  file(READ ${WORK_DIR}/key.cpp source)
  string(REGEX MATCH "${name} = {([0-9, ]+)}" found "${source}")
  string(REPLACE ", " ";" point "${CMAKE_MATCH_1}")
  set(written_hex "")
  foreach(byte IN LISTS point)
    math(EXPR byte "${byte}" OUTPUT_FORMAT HEXADECIMAL)
    string(REGEX REPLACE "^0x(.)$" "0\\1" byte "${byte}")
    string(REGEX REPLACE "^0x" "" byte "${byte}")
    string(APPEND written_hex "${byte}")
  endforeach()
  string(TOLOWER "${written_hex}" written_hex)
  set(${out_var} "${written_hex}" PARENT_SCOPE)
endfunction()

run(${OPENSSL} genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ${WORK_DIR}/p256.pem)
run(${OPENSSL} pkey -in ${WORK_DIR}/p256.pem -pubout -out ${WORK_DIR}/p256_public.pem)
run(${OPENSSL} pkey -pubin -in ${WORK_DIR}/p256_public.pem -outform DER -out ${WORK_DIR}/p256.der)
run(${OPENSSL} genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ${WORK_DIR}/second.pem)
run(${OPENSSL} pkey -in ${WORK_DIR}/second.pem -pubout -out ${WORK_DIR}/second_public.pem)
run(${OPENSSL} pkey -pubin -in ${WORK_DIR}/second_public.pem -outform DER -out ${WORK_DIR}/second.der)
run(${OPENSSL} genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out ${WORK_DIR}/p384.pem)
run(${OPENSSL} pkey -in ${WORK_DIR}/p384.pem -pubout -out ${WORK_DIR}/p384_public.pem)
run(${OPENSSL} pkey -pubin -in ${WORK_DIR}/p256_public.pem -ec_conv_form compressed
               -out ${WORK_DIR}/compressed_public.pem)
file(READ ${WORK_DIR}/p256_public.pem good)
string(REPLACE "MFkw" "MFkx" changed "${good}")
file(WRITE ${WORK_DIR}/changed_public.pem "${changed}")
string(REGEX REPLACE "\n[A-Za-z0-9+/]+==?\n" "\n" cut "${good}")
file(WRITE ${WORK_DIR}/cut_public.pem "${cut}")

convert(${WORK_DIR}/p256_public.pem ${WORK_DIR}/second_public.pem updates.example-2_b result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "two P-256 public keys were refused")
endif()
foreach(key release_point:p256.der freshness_point:second.der)
  string(REPLACE ":" ";" key "${key}")
  list(GET key 0 name)
  list(GET key 1 der_file)
  file(READ ${WORK_DIR}/${der_file} der HEX)
  string(SUBSTRING "${der}" 54 128 point_hex)
  written_point(${name} written_hex)
  if(NOT written_hex STREQUAL point_hex)
    message(FATAL_ERROR "wrong ${name}: ${written_hex}, expected ${point_hex}")
  endif()
endforeach()
file(READ ${WORK_DIR}/key.cpp source)
if(NOT source MATCHES "update_product\\[\\] = \"updates.example-2_b\";")
  message(FATAL_ERROR "the product name was not written: ${source}")
endif()

foreach(bad p256.pem p384_public.pem compressed_public.pem changed_public.pem cut_public.pem
            missing.pem)
  convert(${WORK_DIR}/${bad} ${WORK_DIR}/second_public.pem localhost result)
  if(result EQUAL 0)
    message(FATAL_ERROR "${bad} was taken for a P-256 public key")
  endif()
  convert(${WORK_DIR}/p256_public.pem ${WORK_DIR}/${bad} localhost result)
  if(result EQUAL 0)
    message(FATAL_ERROR "${bad} was taken for a P-256 freshness key")
  endif()
endforeach()

# One key alone, and product names that are not one plain word.
function(expect_refused release freshness product)
  convert("${release}" "${freshness}" "${product}" result)
  if(result EQUAL 0)
    message(FATAL_ERROR "release key \"${release}\", freshness key \"${freshness}\", product "
                        "\"${product}\" was taken")
  endif()
endfunction()
expect_refused(${WORK_DIR}/p256_public.pem "" localhost)
expect_refused("" ${WORK_DIR}/p256_public.pem localhost)
expect_refused(${WORK_DIR}/p256_public.pem ${WORK_DIR}/second_public.pem "")
expect_refused(${WORK_DIR}/p256_public.pem ${WORK_DIR}/second_public.pem "a b")
expect_refused(${WORK_DIR}/p256_public.pem ${WORK_DIR}/second_public.pem "a\"b")

# A root key set: the keys (distinct P-256 keys), a threshold from 1 to n and
# a key statement for the product, or configuring stops.
function(convert_roots roots threshold statement result_var)
  execute_process(COMMAND ${CMAKE_COMMAND} -DPRODUCT=localhost "-DROOTS=${roots}" -DTHRESHOLD=${threshold}
                          -DSTATEMENT=${statement} -DSOURCE=${WORK_DIR}/key.cpp
                          -P ${SOURCE_DIR}/cmake/UpdateKey.cmake
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  set(${result_var} ${result} PARENT_SCOPE)
endfunction()
file(WRITE ${WORK_DIR}/statement "produkt=localhost\nserial=1\nexpires=20991231T000000Z\nsignature=MEUC+/=\n")
file(WRITE ${WORK_DIR}/other_statement "produkt=localhost2\nserial=1\nexpires=20991231T000000Z\n")
set(roots "${WORK_DIR}/p256_public.pem;${WORK_DIR}/second_public.pem")
convert_roots("${roots}" 2 ${WORK_DIR}/statement result)
file(READ ${WORK_DIR}/key.cpp source)
if(NOT result EQUAL 0 OR NOT source MATCHES "update_root_keys = {root_points, 2, 2, \"produkt=localhost\\\\nserial=1\\\\n")
  message(FATAL_ERROR "a root set of two keys was not written: ${source}")
endif()
function(expect_roots_refused keys threshold statement)
  convert_roots("${keys}" "${threshold}" ${WORK_DIR}/${statement} result)
  if(result EQUAL 0)
    message(FATAL_ERROR "the root set ${keys}, threshold \"${threshold}\", ${statement} was taken")
  endif()
endfunction()
foreach(threshold 0 3 x "")
  expect_roots_refused("${roots}" "${threshold}" statement)
endforeach()
expect_roots_refused(${WORK_DIR}/p256_public.pem 1 other_statement)
expect_roots_refused(${WORK_DIR}/p256_public.pem 1 missing)
expect_roots_refused("${WORK_DIR}/p256_public.pem;${WORK_DIR}/p256_public.pem" 1 statement)
expect_roots_refused(${WORK_DIR}/p384_public.pem 1 statement)
