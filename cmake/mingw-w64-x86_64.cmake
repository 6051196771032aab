# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, for std::thread).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-qt.cmake)
# ctest runs the .exe files under Wine, in a Wine prefix of the build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
# Qt for Windows (tools/windows-qt.sh prints where it is): searched like the system's own libraries, as Qt's
# own toolchain file does it.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELKOR_WINDOWS_QT)
if(VELKOR_WINDOWS_QT)
    list(PREPEND CMAKE_FIND_ROOT_PATH ${VELKOR_WINDOWS_QT})
    list(PREPEND CMAKE_PREFIX_PATH ${VELKOR_WINDOWS_QT}/lib/cmake)
endif()
