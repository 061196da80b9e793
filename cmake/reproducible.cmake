# Run by cpack on the staged files before it packs them, for every package.
# Two builds of one commit make the same package, byte for byte: cpack then
# gives every file, folder and archive header in it the time
# SOURCE_DATE_EPOCH instead of the times the build left. A packager may set
# it, as Debian's tools do; otherwise it is the time of the commit being
# packaged. (The man pages and the changelog are compressed with gzip -n,
# which leaves out the time of its own.)
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_KORRIN_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed ERROR_QUIET)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    # Sources outside git (an unpacked tarball) still make a package.
    message(WARNING "No git commit to date the package by; set SOURCE_DATE_EPOCH "
      "to make it the same on every build.")
  else()
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  endif()
endif()
