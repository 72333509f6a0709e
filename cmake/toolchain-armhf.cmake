# Debian armhf (32-bit ARM, hard-float, glibc) with Debian's cross compiler.
# Test programs run under qemu-user; the target's libraries come from the
# armhf packages installed beside the host's (multiarch).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# /usr/local holds what cannot be installed for two architectures at once
# (see scripts/deps-cross.sh).
set(ENV{PKG_CONFIG_LIBDIR}
  /usr/local/lib/arm-linux-gnueabihf/pkgconfig:/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
# -L / and not the cross sysroot: the armhf libraries installed by dpkg live
# in /usr/lib/arm-linux-gnueabihf, next to a matching loader in /lib.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
