# The vendor's two public keys (the release key's and the freshness key's)
# and the product name they sign for go into a program through one small
# generated source file, so that programs with different keys share
# everything else.

# The DER bytes that begin every P-256 public key (SubjectPublicKeyInfo with
# an uncompressed point), up to and including the point's 0x04.
set(P256_KEY_INFO_PREFIX
    48 89 48 19 6 7 42 134 72 206 61 2 1 6 8 42 134 72 206 61 3 1 7 3 66 0 4)
set(BASE64_ALPHABET "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")

# Sets out_var to the bytes (decimal numbers) of base64 text, ignoring "=".
function(decode_base64 text out_var)
  string(REPLACE "=" "" text "${text}")
  string(LENGTH "${text}" length)
  set(bytes "")
  set(bits 0)
  set(bit_count 0)
  if(length GREATER 0)
    math(EXPR last "${length} - 1")
    foreach(i RANGE ${last})
      string(SUBSTRING "${text}" ${i} 1 letter)
      string(FIND "${BASE64_ALPHABET}" "${letter}" value)
      math(EXPR bits "(${bits} << 6) | ${value}")
      math(EXPR bit_count "${bit_count} + 6")
      if(bit_count GREATER_EQUAL 8)
        math(EXPR bit_count "${bit_count} - 8")
        math(EXPR byte "${bits} >> ${bit_count}")
        math(EXPR bits "${bits} & ((1 << ${bit_count}) - 1)")
        list(APPEND bytes ${byte})
      endif()
    endforeach()
  endif()
  set(${out_var} "${bytes}" PARENT_SCOPE)
endfunction()

# Reads the PEM public key file pem_file. Sets point_var to the 64 bytes of
# the P-256 point X‖Y as C initialisers, or error_var to why the file is not
# such a key (and point_var empty).
function(read_public_key_point pem_file point_var error_var)
  set(${point_var} "" PARENT_SCOPE)
  if(NOT EXISTS "${pem_file}")
    set(${error_var} "no such file" PARENT_SCOPE)
    return()
  endif()
  file(READ "${pem_file}" pem)
  if(NOT pem MATCHES "-----BEGIN PUBLIC KEY-----([A-Za-z0-9+/=\r\n]+)-----END PUBLIC KEY-----")
    set(${error_var} "no PEM block \"BEGIN PUBLIC KEY\" of base64 text" PARENT_SCOPE)
    return()
  endif()
  string(REGEX REPLACE "[\r\n]" "" text "${CMAKE_MATCH_1}")
  if(NOT text MATCHES "^[A-Za-z0-9+/]+=?=?$")
    set(${error_var} "the base64 text is malformed" PARENT_SCOPE)
    return()
  endif()
  decode_base64("${text}" bytes)
  list(LENGTH bytes byte_count)
  list(LENGTH P256_KEY_INFO_PREFIX prefix_length)
  math(EXPR key_length "${prefix_length} + 64")
  if(NOT byte_count EQUAL key_length)
    set(${error_var} "not a P-256 public key (${byte_count} bytes)" PARENT_SCOPE)
    return()
  endif()
  list(SUBLIST bytes 0 ${prefix_length} prefix)
  if(NOT prefix STREQUAL P256_KEY_INFO_PREFIX)
    set(${error_var} "not an uncompressed P-256 public key" PARENT_SCOPE)
    return()
  endif()
  list(SUBLIST bytes ${prefix_length} 64 point)
  list(JOIN point ", " point_text)
  set(${point_var} "${point_text}" PARENT_SCOPE)
  set(${error_var} "" PARENT_SCOPE)
endfunction()

# A product name is written into "produkt=<name>" lines, by the program and
# by the server alike: letters, digits, ".", "-" and "_" only.
function(check_product_name product)
  if(NOT product MATCHES "^[A-Za-z0-9._-]+$")
    message(FATAL_ERROR "The product name \"${product}\" cannot be used: only letters, digits, "
                        "\".\", \"-\" and \"_\" are allowed.")
  endif()
endfunction()

# Sets out_var to the C initialiser of the key in pem_file; a file that is
# no P-256 public key is fatal.
function(key_initialiser pem_file what out_var)
  read_public_key_point("${pem_file}" point error)
  if(NOT error STREQUAL "")
    message(FATAL_ERROR "The ${what} ${pem_file} cannot be used: ${error}. "
                        "It must be a PEM P-256 public key (BEGIN PUBLIC KEY).")
  endif()
  set(${out_var} "{${point}}" PARENT_SCOPE)
endfunction()

# Sets out_var to the C initialisers of the root keys (PEM files), their
# threshold and the statement text as a C string literal; anything malformed
# is fatal. The program checks the statement's signatures itself.
function(root_key_definitions roots threshold statement_file product out_var)
  set(initialisers "")
  set(points "")
  list(LENGTH roots count)
  foreach(pem IN LISTS roots)
    key_initialiser("${pem}" "root key" point)
    list(FIND points "${point}" seen)
    if(NOT seen EQUAL -1)
      message(FATAL_ERROR "The root key ${pem} is given twice: a root set names each key once.")
    endif()
    list(APPEND points "${point}")
    string(APPEND initialisers "    ${point},\n")
  endforeach()
  if(NOT threshold MATCHES "^[1-9][0-9]*$" OR threshold GREATER count)
    message(FATAL_ERROR "UPDATE_ROOT_THRESHOLD \"${threshold}\" cannot be used: it is the number k "
                        "of the ${count} root keys that must sign a key statement, 1 to ${count}.")
  endif()
  if(NOT EXISTS "${statement_file}")
    message(FATAL_ERROR "UPDATE_KEY_STATEMENT \"${statement_file}\" cannot be used: a program built with "
                        "root keys is built with the current key statement (publish keys show).")
  endif()
  file(READ "${statement_file}" statement)
  if(NOT statement MATCHES "^produkt=${product}\nserial=[1-9][0-9]*\n[A-Za-z0-9=+/\n]+$")
    message(FATAL_ERROR "UPDATE_KEY_STATEMENT ${statement_file} is no key statement for product "
                        "\"${product}\".")
  endif()
  string(REPLACE "\n" "\\n" statement "${statement}")
  string(CONCAT definitions "namespace {\nconst PublicKeyPoint root_points[] = {\n${initialisers}};\n}\n\n"
                "const RootKeys update_root_keys = {root_points, ${count}, ${threshold}, \"${statement}\"};\n")
  set(${out_var} "${definitions}" PARENT_SCOPE)
endfunction()

# Writes the source that defines update_public_key, update_freshness_key,
# update_root_keys and update_product: the keys of pem_file and
# freshness_pem_file, or the root keys of the list roots with their
# threshold and the statement file, or none when all are empty. A program
# checks both signatures or neither, so one key without the other is
# fatal, and so is a root set beside them.
function(write_update_key_source pem_file freshness_pem_file product source_file roots threshold
         statement_file)
  check_product_name("${product}")
  set(RELEASE_POINTER "nullptr")
  set(FRESHNESS_POINTER "nullptr")
  set(KEY_DEFINITION "")
  set(ROOT_DEFINITION "const RootKeys update_root_keys = {nullptr, 0, 0, \"\"};\n")
  if(NOT "${roots}" STREQUAL "")
    if(NOT pem_file STREQUAL "" OR NOT freshness_pem_file STREQUAL "")
      message(FATAL_ERROR "A program built with UPDATE_ROOT_KEYS trusts the keys its key statements "
                          "name: leave UPDATE_PUBLIC_KEY and UPDATE_FRESHNESS_KEY empty.")
    endif()
    root_key_definitions("${roots}" "${threshold}" "${statement_file}" "${product}"
                         ROOT_DEFINITION)
  elseif(NOT threshold STREQUAL "" OR NOT statement_file STREQUAL "")
    message(FATAL_ERROR "UPDATE_ROOT_THRESHOLD and UPDATE_KEY_STATEMENT go with UPDATE_ROOT_KEYS.")
  elseif(pem_file STREQUAL "" AND freshness_pem_file STREQUAL "")
  elseif(pem_file STREQUAL "" OR freshness_pem_file STREQUAL "")
    message(FATAL_ERROR "A program checks both signatures of a reply or none: give both "
                        "UPDATE_PUBLIC_KEY and UPDATE_FRESHNESS_KEY, or neither.")
  else()
    key_initialiser("${pem_file}" "update key" release_point)
    key_initialiser("${freshness_pem_file}" "freshness key" freshness_point)
    set(RELEASE_POINTER "&release_point")
    set(FRESHNESS_POINTER "&freshness_point")
    string(CONCAT KEY_DEFINITION "namespace {\nconst PublicKeyPoint release_point = ${release_point};\n"
                  "const PublicKeyPoint freshness_point = ${freshness_point};\n}\n\n")
  endif()
  file(CONFIGURE OUTPUT "${source_file}" @ONLY CONTENT [[
// Generated by CMake from the update keys; do not edit.
#include "update/update_key.h"

@KEY_DEFINITION@const PublicKeyPoint* const update_public_key = @RELEASE_POINTER@;
const PublicKeyPoint* const update_freshness_key = @FRESHNESS_POINTER@;
@ROOT_DEFINITION@const char update_product[] = "@product@";
]])
endfunction()

# Run as a script at build time:
# cmake -DPEM=<file> -DFRESHNESS_PEM=<file> -DPRODUCT=<name> -DSOURCE=<file>
#       ["-DROOTS=<file>;<file>;..." -DTHRESHOLD=<k> -DSTATEMENT=<file>] -P UpdateKey.cmake
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  write_update_key_source("${PEM}" "${FRESHNESS_PEM}" "${PRODUCT}" "${SOURCE}" "${ROOTS}"
                          "${THRESHOLD}" "${STATEMENT}")
endif()
