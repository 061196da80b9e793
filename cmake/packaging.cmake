# What `cpack` makes from a build: a Debian package of the program and its
# man page, or, from a Windows build, a zip of korrin.exe and the README.
set(CPACK_PACKAGE_NAME korrin)
set(CPACK_PACKAGE_VENDOR "korrin developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Turn any file into an HP49 character-string object file")
set(CPACK_PACKAGE_CONTACT "korrin developers <korrin@example.org>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  install(FILES README.md DESTINATION . RENAME README.txt)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  install(FILES man/korrin.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

include(CPack)
