# cmake -C packaging/flags.cmake: the compiler and linker flags Debian builds its packages
# with, every hardening on, for the build a package is made from.
set(ENV{DEB_BUILD_MAINT_OPTIONS} hardening=+all)
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(COMMAND dpkg-buildflags --get ${kind} OUTPUT_VARIABLE ${kind}
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set(CMAKE_CXX_FLAGS "${CPPFLAGS} ${CXXFLAGS}" CACHE STRING "")  # CMake reads no CPPFLAGS
set(CMAKE_EXE_LINKER_FLAGS "${LDFLAGS}" CACHE STRING "")
