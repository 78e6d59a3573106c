# 32-bit little-endian MIPS with glibc: Debian's cross compiler and a sysroot
# of Debian's mipsel packages (made by scripts/cross mipsel-linux-gnu).
# KELVORA_SYSROOT names the sysroot (cache variable or environment).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

if(NOT KELVORA_SYSROOT)
  set(KELVORA_SYSROOT "$ENV{KELVORA_SYSROOT}")
endif()
if(NOT KELVORA_SYSROOT)
  message(FATAL_ERROR "KELVORA_SYSROOT: the mipsel sysroot (scripts/cross mipsel-linux-gnu makes it)")
endif()
set(KELVORA_SYSROOT "${KELVORA_SYSROOT}" CACHE PATH "mipsel sysroot")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KELVORA_SYSROOT)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_SYSROOT "${KELVORA_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${KELVORA_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KELVORA_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${KELVORA_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${KELVORA_SYSROOT}/usr/lib/pkgconfig:${KELVORA_SYSROOT}/usr/share/pkgconfig")

# Test programs run under qemu-user with the sysroot's loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L "${KELVORA_SYSROOT}")
