# A build of the program for the tests: the build's own sources but for the
# parts named, KEY (the public keys), PINS (the publisher pins), SERVER (the
# update server's scheme) and STEPS (the installation's step hook).
function(add_program_variant name)
  cmake_parse_arguments(PARSE_ARGV 1 VARIANT "" "KEY;PINS;SERVER;STEPS" "")
  foreach(part KEY:UPDATE_KEY_SOURCE PINS:PUBLISHER_PINS_SOURCE SERVER:UPDATE_SERVER_SCHEME_SOURCE
               STEPS:INSTALL_STEPS_SOURCE)
    string(REPLACE ":" ";" part ${part})
    list(GET part 0 option)
    list(GET part 1 default)
    if(NOT VARIANT_${option})
      set(VARIANT_${option} ${${default}})
    endif()
  endforeach()
  add_updater_program(${name} ${VARIANT_KEY} ${VARIANT_PINS} ${VARIANT_SERVER} ${VARIANT_STEPS})
endfunction()
