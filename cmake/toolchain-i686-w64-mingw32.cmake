# Cross toolchain: i686-w64-mingw32 with Debian's posix thread model
# (std::thread and std::mutex need it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(QUOLM_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QUOLM_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUOLM_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUOLM_TRIPLET}-windres)

# Headers and libraries only from the MinGW sysroot; host programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUOLM_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables run under Wine, and only inside the harness sandbox.
get_filename_component(QUOLM_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/../tests/harness/wine-run.sh ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUOLM_WINE_RUN})
