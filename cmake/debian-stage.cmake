# Run by cpack on the staged files before it packs the .deb.
# The package's programs link the C and C++ libraries shared, so the
# system's fixes to them reach korrin, and dpkg-shlibdeps names them in its
# Depends. Programs with the libraries linked in (KORRIN_STATIC) would carry
# code of both that the package neither names nor updates.
if(CPACK_KORRIN_STATIC)
  message(FATAL_ERROR "The Debian package is made from a build whose programs "
    "link the C and C++ libraries shared: configure it with KORRIN_STATIC=OFF.")
endif()
set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(doc "${stage}${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_KORRIN_DOCDIR}")

# Debian has its own forms of two documents: the package's changelog and
# its copyright file stand for CHANGELOG.md and LICENSE, which an install
# from the sources puts there. The README stays, compressed, as Debian
# wants every document larger than 4 kB.
file(REMOVE "${doc}/CHANGELOG.md" "${doc}/LICENSE")
file(COPY ${CPACK_KORRIN_DEBIAN_DOCS} DESTINATION "${doc}"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
execute_process(COMMAND "${CPACK_KORRIN_GZIP}" -9nf "${doc}/README.md" COMMAND_ERROR_IS_FATAL ANY)

# Lintian's overrides, each with its reason; none where none is needed,
# since an override that is not needed is itself reported.
set(overrides)
# Lintian wants each entry of the changelog dated later than the one before
# it, but CHANGELOG.md dates a release by its day, and two releases can
# share one.
file(STRINGS "${CPACK_KORRIN_SOURCE_DIR}/CHANGELOG.md" releases REGEX "^## [0-9]")
list(TRANSFORM releases REPLACE "^## [^ ]+ \\((.*)\\)$" "\\1")
list(LENGTH releases count)
if(count GREATER 1)
  list(GET releases 0 newest)
  list(GET releases 1 previous)
  if(newest STREQUAL previous)
    string(APPEND overrides
      "# The last two releases were made on one day, ${newest}, and the changelog\n"
      "# dates releases by the day.\n"
      "korrin: latest-changelog-entry-without-new-date\n")
  endif()
endif()
if(overrides)
  set(folder "${stage}${CPACK_PACKAGING_INSTALL_PREFIX}/share/lintian/overrides")
  file(WRITE "${folder}/korrin" "${overrides}")
  file(CHMOD "${folder}/korrin" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

# The install makes its folders with the builder's umask, and Debian wants
# every folder in a package readable by all (0755).
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${stage}/*")
foreach(entry IN LISTS entries)
  if(IS_DIRECTORY "${entry}")
    file(CHMOD "${entry}" DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
