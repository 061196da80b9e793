# Run by cpack on the staged files before it packs the .deb.
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

# The install makes its folders with the builder's umask, and Debian wants
# every folder in a package readable by all (0755).
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${stage}/*")
foreach(entry IN LISTS entries)
  if(IS_DIRECTORY "${entry}")
    file(CHMOD "${entry}" DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
