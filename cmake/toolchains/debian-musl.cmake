# Common part of the musl toolchains; the including file names the triplet and where the
# target's kernel headers are. Debian's musl-dev (musl-dev:arm64 and musl-dev:armhf for the ARM
# targets, through multiarch) brings <triplet>-gcc, a wrapper that runs the target's GCC with
# musl's headers, start files and libc.a in place of glibc's. It compiles quarn's sources, which
# use only C library and kernel headers, and links them without the C++ library. musl has no
# kernel headers of its own; the kernel's, from the target's Debian include tree, serve.
set(CMAKE_CXX_COMPILER ${QUARN_MUSL_TRIPLET}-gcc)
# The wrapper's name tells CMake nothing of the binutils: the target's own strip the install.
set(CMAKE_AR ${QUARN_MUSL_BINUTILS}-ar)
set(CMAKE_RANLIB ${QUARN_MUSL_BINUTILS}-ranlib)
set(CMAKE_STRIP ${QUARN_MUSL_BINUTILS}-strip)
set(QUARN_LIBC musl)
set(QUARN_KERNEL_HEADERS ${QUARN_MUSL_KERNEL_HEADERS})
# Nothing is looked for on the build machine but programs.
set(CMAKE_FIND_ROOT_PATH /usr/lib/${QUARN_MUSL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
