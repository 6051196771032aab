# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, for std::thread).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-qt.cmake)
# One .exe with nothing beside it: the C++ runtime and winpthreads linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# ctest runs the .exe files under Wine, in a Wine prefix of the build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
