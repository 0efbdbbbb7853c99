# The machine's set-up (scripts/packages.sh against stand-ins for apt-get
# and dpkg; the server manual's nginx block and Apache site on a stock Debian): no Wine, no build
# output, so once is enough.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_test(NAME setup_packages COMMAND ${Python3_EXECUTABLE} -m unittest -v test_packages
           WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/setup)
  add_test(NAME setup_nginx_block COMMAND ${Python3_EXECUTABLE} test_nginx_block.py
           WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/setup)
  add_test(NAME setup_apache_site COMMAND ${Python3_EXECUTABLE} test_apache_site.py
           WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/setup)
  set_tests_properties(setup_packages setup_nginx_block setup_apache_site PROPERTIES
    LABELS setup
    ENVIRONMENT "${PYTHON_TEST_ENVIRONMENT}")
endif()
