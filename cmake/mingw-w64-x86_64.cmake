# Cross build for 64-bit Windows with MinGW-w64 (posix thread model, static runtime).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${MX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${MX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every .exe and .dll stands alone: no libstdc++/libgcc/winpthread DLLs travel with them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs the .exe tests through Wine on a private prefix and display (see wine-run).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
