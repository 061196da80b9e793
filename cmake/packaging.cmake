# What `cpack` makes from a build: a Debian package of the programs, their
# man pages and documents; or, from a Windows build, a zip of the programs
# and the texts a Windows user reads.
set(CPACK_PACKAGE_NAME korrin)
set(CPACK_PACKAGE_VENDOR "korrin developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "wrap any file in a string object for HP49G/49g+/48gII/50g calculators")
set(CPACK_PACKAGE_CONTACT "korrin developers <korrin@example.org>")
set(CPACK_STRIP_FILES ON)
# Read by the scripts cpack runs before it packs (cmake/reproducible.cmake
# and cmake/debian-stage.cmake).
set(CPACK_KORRIN_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_PRE_BUILD_SCRIPTS)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
  # The zip unpacks into one folder named after the release,
  # korrin-1.3.0-win32 say, rather than spilling its files among those of
  # the folder it is unpacked in.
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  if(MINGW)
    # The linker stamps each .exe with the time it was linked; without the
    # stamp two builds of one commit make the same programs.
    foreach(program IN LISTS KORRIN_PROGRAMS)
      target_link_options(${program} PRIVATE -Wl,--no-insert-timestamp)
    endforeach()
  endif()
  # They are stripped as they are linked (cmake/mingw-common.cmake), and
  # stripping a Windows program again stamps it with the time of the strip.
  set(CPACK_STRIP_FILES OFF)
  # The zip's README is written for Windows users, who drop files onto the
  # programs; the README.md of the sources is about building them. Notepad
  # on older Windows shows a text with bare LF line ends as one long line,
  # so the zip's texts are copies with CR LF ones.
  set(text_sources doc/README.txt CHANGELOG.md LICENSE)
  set(text_names README.txt CHANGELOG.txt LICENSE.txt)
  set(texts)
  foreach(source name IN ZIP_LISTS text_sources text_names)
    add_custom_command(OUTPUT ${name}
      COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/${source}
              -DOUT=${CMAKE_CURRENT_BINARY_DIR}/${name} -P ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
      DEPENDS ${source} cmake/crlf.cmake
      VERBATIM)
    list(APPEND texts ${CMAKE_CURRENT_BINARY_DIR}/${name})
  endforeach()
  add_custom_target(korrin_package_texts ALL DEPENDS ${texts})
  install(FILES ${texts} DESTINATION .)
  # korrin started as korrin-text reads its files as text, as --text does
  # (starts_as_text in cli/start.cpp), so files dropped onto korrin-text.exe
  # in Explorer become the calculator's own characters. It is korrin.exe
  # byte for byte under that name: Explorer offers no options to a drop.
  set(text_program ${CMAKE_CURRENT_BINARY_DIR}/korrin-text.exe)
  add_custom_command(OUTPUT ${text_program}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:korrin> ${text_program}
    DEPENDS korrin
    VERBATIM)
  add_custom_target(korrin_text_program ALL DEPENDS ${text_program})
  install(PROGRAMS ${text_program} DESTINATION .)
else()
  # The documents everyone gets from `cmake --install`. The .deb replaces
  # two of them with Debian's own forms (see cmake/debian-stage.cmake).
  install(FILES LICENSE README.md CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The udev rule that gives a USB 49g+/50g to the user logged in and keeps
  # ModemManager away from it.  udev reads /usr/lib/udev/rules.d (and
  # /lib/udev/rules.d, the same folder on a merged /usr); under another
  # prefix it is a copy to put there.
  install(FILES udev/70-hp-calculator.rules DESTINATION lib/udev/rules.d)
  # Bash completion: bash-completion loads a command's script by the
  # command's name from this folder, under /usr, /usr/local or ~/.local.
  # One script serves both programs.
  foreach(program IN LISTS KORRIN_PROGRAMS)
    install(FILES completion/korrin
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program})
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The .deb generator's own default, spelt out for the staging script.
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
korrin wraps a file in a character-string object in the binary object file
form of the HP49G, 49g+, 48gII and 50g calculators: the header HPHP49-B,
the string prolog, the length in nibbles, then the file's bytes unchanged,
or, when asked, a UTF-8 or ASCII text turned into the calculator's own
characters. Copied to the calculator's SD card, sent by Kermit or XModem,
or loaded into an emulator, the file arrives as one string, exactly. The
HP48SX and 48GX cannot load it: they take no HPHP49- object.
unkorrin takes such an object back to its bytes or text, and shows the
checksum and size the calculator's BYTES command shows for the string.]])

  find_program(KORRIN_GZIP gzip REQUIRED)
  find_program(KORRIN_AWK awk REQUIRED)
  set(docs ${CMAKE_CURRENT_BINARY_DIR}/doc)
  set(package_docs)

  # Debian installs man pages and changelogs compressed; -n keeps the name
  # and time out of the gzip header, so every build writes the same bytes.
  foreach(program IN LISTS KORRIN_PROGRAMS)
    # A man page names the release in its footer; one left behind would
    # ship the wrong number.
    file(STRINGS man/${program}.1 title REGEX "^\\.TH ")
    if(NOT title MATCHES "\"korrin ${PROJECT_VERSION}\"")
      message(FATAL_ERROR "man/${program}.1: the .TH line does not name korrin ${PROJECT_VERSION}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${docs}/${program}.1.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/man/${program}.1 ${docs}/${program}.1
      COMMAND ${KORRIN_GZIP} -9nf ${docs}/${program}.1
      DEPENDS man/${program}.1
      VERBATIM)
    list(APPEND package_docs ${docs}/${program}.1.gz)
    install(FILES ${docs}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()

  # The package is native, so its changelog is the project's own, in Debian's
  # form, dated from CHANGELOG.md and signed by the package's maintainer.
  add_custom_command(OUTPUT ${docs}/changelog.gz
    COMMAND ${KORRIN_AWK} -v package=${CPACK_PACKAGE_NAME} -v version=${PROJECT_VERSION}
            -v "maintainer=${CPACK_PACKAGE_CONTACT}" -v out=${docs}/changelog
            -f ${PROJECT_SOURCE_DIR}/cmake/debian-changelog.awk ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    COMMAND ${KORRIN_GZIP} -9nf ${docs}/changelog
    DEPENDS CHANGELOG.md cmake/debian-changelog.awk
    VERBATIM)
  list(APPEND package_docs ${docs}/changelog.gz)

  # Debian's machine-readable copyright file, holding LICENSE's notice and
  # terms, so the licence is written down once.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)\n+(Permission .*)$")
    message(FATAL_ERROR "LICENSE: no \"Copyright (c)\" line followed by the terms")
  endif()
  set(KORRIN_COPYRIGHT ${CMAKE_MATCH_1})
  string(STRIP "${CMAKE_MATCH_2}" terms)
  # The format indents the terms by one space and writes an empty line as ".".
  string(REPLACE "\n\n" "\n.\n" terms "${terms}")
  string(REPLACE "\n" "\n " KORRIN_LICENCE_TERMS " ${terms}")
  configure_file(cmake/copyright.in ${docs}/copyright @ONLY)

  add_custom_target(korrin_package_docs ALL DEPENDS ${package_docs})
  # Installed by cpack alone: a plain install has CHANGELOG.md and LICENSE.
  set(CPACK_KORRIN_DEBIAN_DOCS ${docs}/changelog.gz ${docs}/copyright)
  set(CPACK_KORRIN_DOCDIR ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_KORRIN_GZIP ${KORRIN_GZIP})
  set(CPACK_KORRIN_STATIC ${korrin_static_programs})
  list(APPEND CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian-stage.cmake)
endif()

list(APPEND CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/reproducible.cmake)
include(CPack)
