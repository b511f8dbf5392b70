# Cross-building for 64-bit ARM Linux with Debian's crossbuild-essential-arm64
# (make arm64). The arm64 libraries and headers are the arm64 packages of the
# build machine itself, installed side by side with its own through multiarch
# (libgmp-dev:arm64 in /usr/lib/aarch64-linux-gnu and
# /usr/include/aarch64-linux-gnu); header-only libraries are the build
# machine's, in /usr/include, which the cross compiler searches too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The cross C library first; find_* then looks in /usr, under the arm64
# multiarch folders.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The build machine's own multiarch folders hold x86-64 files of the same
# names (libgmp.so, gmp.h): never take one from them.
list(APPEND CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
     /usr/include/x86_64-linux-gnu)
# Tests run under qemu-user with the loader of the cross C library (-L).
# The C library must come from the same folder: the multiarch libc6:arm64
# that the arm64 packages bring along is another build of glibc, and a loader
# and a C library of two builds share private structures that no longer
# match (the first thread started walks a corrupt stack cache for ever).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu
    -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
