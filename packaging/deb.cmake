# Run by cpack in the package's tree before it is packed: what Debian wants of an
# installed package beyond what cmake --install puts in place.
set(usr ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc ${usr}/share/doc/${CPACK_PACKAGE_NAME})
set(source ${CPACK_FRANDLE_SOURCE_DIR})
set(version ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})

# Stripped as dh_strip does it: no symbols, nor the compilers' notes.
file(GLOB programs ${usr}/bin/*)
execute_process(COMMAND strip --remove-section=.comment --remove-section=.note ${programs}
                COMMAND_ERROR_IS_FATAL ANY)

# Compressed as Debian does it: -9, and no name or time stamp in the header.
file(GLOB pages ${usr}/share/man/man1/*.1)
execute_process(COMMAND gzip -9n ${pages} COMMAND_ERROR_IS_FATAL ANY)

# The first entry must be this version's: one forgotten stops the build.
file(STRINGS ${source}/packaging/changelog top LIMIT_COUNT 1)
if(NOT top MATCHES "^${CPACK_PACKAGE_NAME} \\(${version}\\) ")
  message(FATAL_ERROR "packaging/changelog: the first entry is not of ${version}: ${top}")
endif()
file(MAKE_DIRECTORY ${doc})
execute_process(COMMAND gzip -9n -c ${source}/packaging/changelog
                OUTPUT_FILE ${doc}/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)

# LICENSE, in the machine-readable copyright format: one text to keep, not two.
file(READ ${source}/LICENSE licence)
if(NOT licence MATCHES "^Copyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE does not start with its copyright line and a blank line")
endif()
set(holders ${CMAKE_MATCH_1})
string(REPLACE "\n" "\n " text " ${CMAKE_MATCH_2}")
string(REPLACE "\n \n" "\n .\n" text "${text}")
file(WRITE ${doc}/copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}

Files: *
Copyright: ${holders}
License: BSD-2-Clause
${text}
")
# Whatever the umask of the build: directories 755, and the files made here 644.
file(CHMOD_RECURSE ${usr} DIRECTORY_PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(CHMOD ${doc}/copyright ${doc}/changelog.Debian.gz
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
