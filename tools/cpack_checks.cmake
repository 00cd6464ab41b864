# Read by cpack before it packs: a Debian package is made only where its library
# dependencies can be found, never one that installs and cannot start.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(PALOMIR_SHLIBDEPS dpkg-shlibdeps)
  find_program(PALOMIR_FILE file)
  if(NOT PALOMIR_SHLIBDEPS OR NOT PALOMIR_FILE)
    message(FATAL_ERROR "The Debian package needs dpkg-shlibdeps and file to list the libraries "
                        "the game needs: install the packages dpkg-dev and file "
                        "(or run tools/dev.sh package).")
  endif()
endif()
