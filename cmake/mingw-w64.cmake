# Cross build for 64-bit Windows with Debian's mingw-w64 compilers
# (g++-mingw-w64-x86-64). The tests run under Wine through the emulator setting,
# so ctest works the same way as in a native build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TALVEN_MINGW_PREFIX x86_64-w64-mingw32)
# The POSIX thread model: the win32 one has no std::mutex, which GoogleTest's
# headers need. The program uses no standard threads; -static links the small
# thread runtime into the executables, so nothing extra has to be shipped.
set(CMAKE_C_COMPILER ${TALVEN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALVEN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TALVEN_MINGW_PREFIX}-windres)

# Headers and libraries come from the target's sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TALVEN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TALVEN_WINE NAMES wine wine64)
if(TALVEN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TALVEN_WINE})
else()
  message(WARNING "wine not found: the Windows tests can be built but not run here")
endif()
