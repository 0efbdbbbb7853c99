# Writes the publisher pins source of a test program from public key files
# (DER SubjectPublicKeyInfo), pinning each by its SHA-256, as a vendor pins
# a key with openssl.
# cmake -DKEYS=<name>,<name> -DDIR=<folder of <name>.spki> -DSOURCE=<file> -P publisher_pins_of_keys.cmake

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/PublisherPins.cmake)
string(REPLACE "," ";" names "${KEYS}")
set(pins "")
foreach(name IN LISTS names)
  file(SHA256 "${DIR}/${name}.spki" pin)
  list(APPEND pins ${pin})
endforeach()
write_publisher_pins_source("${pins}" "${SOURCE}")
