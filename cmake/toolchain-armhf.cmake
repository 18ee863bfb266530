# Cross build for 32-bit ARM Linux (hard float) with Debian's
# crossbuild-essential-armhf; the armhf libraries (GoogleTest) are Debian's
# multiarch packages. Test programs run under qemu-user-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /usr/lib/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The armhf runtime of the system's own paths, loader included: with the
# cross toolchain's directory as prefix, its loader would pick up the armhf C
# library of the system's cache, of another build.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L /)
