# Cross build for the boards' 64-bit ARM CPU with Debian's cross toolchain.
# Binaries built here run on this machine under user-mode emulation: CTest and
# gtest_discover_tests start them through the emulator named below, because
# binfmt_misc is not something a build can rely on.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VELMORA_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VELMORA_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELMORA_CROSS_TRIPLE}-g++)

# Target libraries and headers come from the cross sysroot only; host programs
# (the emulator, Python for code generation) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VELMORA_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L makes the emulator load the cross sysroot's dynamic loader. The library
# path keeps that loader on the sysroot's own libc: with arm64 multiarch
# packages on the host, it would otherwise find /lib/aarch64-linux-gnu/libc.so.6
# of another glibc build first, and mixing the two hangs at the first thread.
find_program(VELMORA_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORA_QEMU_AARCH64} -L /usr/${VELMORA_CROSS_TRIPLE}
    -E LD_LIBRARY_PATH=/usr/${VELMORA_CROSS_TRIPLE}/lib)
