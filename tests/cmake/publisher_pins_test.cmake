# Checks cmake/PublisherPins.cmake: pins of 64 lowercase hex digits become
# their 32 bytes, no pins an empty set; anything else stops with a message.
# cmake -DSOURCE_DIR=<repository> -DWORK_DIR=<folder> -P publisher_pins_test.cmake

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

function(convert pins result_var)
  execute_process(COMMAND ${CMAKE_COMMAND} "-DPINS=${pins}" -DSOURCE=${WORK_DIR}/pins.cpp
                          -P ${SOURCE_DIR}/cmake/PublisherPins.cmake
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
  set(${result_var} ${result} PARENT_SCOPE)
  set(error "${error}" PARENT_SCOPE)
endfunction()

string(SHA256 first "first")
string(SHA256 second "second")
convert("${first};${second}" result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "two well-formed pins were refused: ${error}")
endif()
file(READ ${WORK_DIR}/pins.cpp source)
foreach(pin IN ITEMS ${first} ${second})
  string(REGEX REPLACE "(..)" "0x\\1, " bytes "${pin}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  string(FIND "${source}" "{${bytes}}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the pin ${pin} was not written as its bytes: ${source}")
  endif()
endforeach()
if(NOT source MATCHES "publisher_pins = {pins, 2};")
  message(FATAL_ERROR "two pins were not counted: ${source}")
endif()

convert("" result)
file(READ ${WORK_DIR}/pins.cpp source)
if(NOT result EQUAL 0 OR NOT source MATCHES "publisher_pins = {nullptr, 0};")
  message(FATAL_ERROR "no pins did not give an empty set: ${error} ${source}")
endif()

string(TOUPPER "${first}" upper)
string(SUBSTRING "${first}" 1 63 short)
string(SUBSTRING "${first}" 0 63 cut)
string(REPLACE "a" "g" not_hex "${first}")
foreach(bad "${upper}" "${short}" "${cut}" "${first}0" "${not_hex}" "${first};" "${first};;${second}"
            " ${first}" "${first},${second}" "sha256:${first}")
  convert("${bad}" result)
  if(result EQUAL 0)
    message(FATAL_ERROR "the malformed pins \"${bad}\" were taken")
  endif()
  if(NOT error MATCHES "publisher pin")
    message(FATAL_ERROR "the malformed pins \"${bad}\" stopped without saying why: ${error}")
  endif()
endforeach()
