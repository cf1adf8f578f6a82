# What both MinGW-w64 toolchain files share; each sets KESTRUNE_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first. Debian's posix thread model, so std::thread and
# std::mutex work.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KESTRUNE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRUNE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRUNE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRUNE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread linked in, so the programs import system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs are listed and run through Wine: CMakeLists.txt points
# CMAKE_CROSSCOMPILING_EMULATOR at a wrapper it writes into the build tree.
