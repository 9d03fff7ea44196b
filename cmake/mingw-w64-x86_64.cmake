# Cross build for 64-bit Windows with Debian's MinGW-w64 compiler, posix
# thread model (std::thread and std::mutex need it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(NORQ_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NORQ_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NORQ_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${NORQ_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${NORQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Test programs run through Wine, both for listing their tests and for ctest.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
