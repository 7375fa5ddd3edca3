# Cross-compiling for 64-bit Windows with Debian's mingw-w64 GCC, on the
# -posix thread model: the default one has no std::thread. Every program is
# linked statically, so it needs no DLL beyond Windows' own. Programs built
# here run on this machine under Wine (scripts/wine-run), which CTest uses to
# run the test programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QL_MINGW_PREFIX}-windres)

# Libraries and headers come from the cross environment only; programs that
# run during the build are this machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${QL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ run-time libraries and winpthreads linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
