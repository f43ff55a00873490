# Cross build for the router's 32-bit ARM with Debian's armhf toolchain and
# multiarch libraries; tests run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
# No -L prefix: the cross toolchain's own libc under /usr/arm-linux-gnueabihf
# is an older build than the armhf multiarch libc6, and the mix crashes any
# program that starts a thread. qemu-arm finds the multiarch loader in /lib.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
