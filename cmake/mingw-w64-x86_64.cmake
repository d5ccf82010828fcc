# Cross-builds for 64-bit Windows with Debian's mingw-w64 and runs what it builds under wine.
#
# The -posix compilers: the default -win32 thread model has no std::mutex or std::thread with
# GCC 12. Linked -static, so that an executable needs none of the toolchain's DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)
# Optimised as the Linux builds are: at -O3 GCC 12 warns of overlapping copies inside std::string
# that cannot happen, and warnings fail the build in CI.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of Release builds")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of Release builds")

# Test programs run under wine64 (Debian keeps it out of PATH), without a display and without
# wine's own chatter, in a prefix of their own in the temporary folder (one per build tree), so that
# nothing lands in the user's ~/.wine. scripts/wine.sh starts and stops the wine server of that
# prefix around a test run.
find_program(KAVRIN_WINE NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KAVRIN_WINE)
    if(NOT KAVRIN_WINEPREFIX)
        string(SHA1 tree "${CMAKE_BINARY_DIR}")
        string(SUBSTRING "${tree}" 0 12 tree)
        set(temporary "$ENV{TMPDIR}")
        if(NOT temporary)
            set(temporary /tmp)
        endif()
        set(KAVRIN_WINEPREFIX "${temporary}/kavrin-wine-${tree}")
    endif()
    set(KAVRIN_WINEPREFIX "${KAVRIN_WINEPREFIX}" CACHE PATH "The wine prefix the tests run in")
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env -u DISPLAY WINEDEBUG=-all
                                      WINEPREFIX=${KAVRIN_WINEPREFIX} ${KAVRIN_WINE})
endif()
