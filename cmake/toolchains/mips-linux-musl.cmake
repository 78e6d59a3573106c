# 32-bit big-endian MIPS with musl (the ath79 class), static, built with the
# Zig toolchain's clang and libc++ through the wrappers that
# scripts/lib/cross/mips-linux-musl.sh writes into the target's cache
# directory; the dependencies are installed in its prefix/.
#   KELVORA_CROSS_DIR  that directory (default: $KELVORA_CROSS_CACHE, else
#                      ~/.cache/kelvora-cross, with /mips-linux-musl appended)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

if(NOT KELVORA_CROSS_DIR)
  if(DEFINED ENV{KELVORA_CROSS_CACHE})
    set(KELVORA_CROSS_DIR "$ENV{KELVORA_CROSS_CACHE}/mips-linux-musl")
  else()
    set(KELVORA_CROSS_DIR "$ENV{HOME}/.cache/kelvora-cross/mips-linux-musl")
  endif()
endif()
set(KELVORA_CROSS_DIR "${KELVORA_CROSS_DIR}" CACHE PATH "Cache directory of the mips-linux-musl target")
# try_compile projects read this file again: hand them the directory.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KELVORA_CROSS_DIR)

set(CMAKE_C_COMPILER "${KELVORA_CROSS_DIR}/bin/cc")
set(CMAKE_CXX_COMPILER "${KELVORA_CROSS_DIR}/bin/c++")
set(CMAKE_AR "${KELVORA_CROSS_DIR}/bin/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${KELVORA_CROSS_DIR}/bin/ranlib" CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH "${KELVORA_CROSS_DIR}/prefix")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config looks at the prefix only, never at the host's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "${KELVORA_CROSS_DIR}/prefix/lib/pkgconfig:${KELVORA_CROSS_DIR}/prefix/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(BUILD_SHARED_LIBS OFF CACHE BOOL "")

# Target programs (tests, try_run checks) run under qemu-user as the ath79
# CPU (24Kc, no FPU), so that a floating-point instruction traps.
find_program(KELVORA_QEMU_MIPS qemu-mips REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR "${KELVORA_QEMU_MIPS};-cpu;24Kc")
