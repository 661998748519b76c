# Fully static quarn for x86-64 Linux against musl, with Debian's musl-tools and musl-dev:
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-linux-musl.cmake
# quarn alone: the host tests need the C++ library, which musl builds do not have.
set(QUARN_MUSL_TRIPLET x86_64-linux-musl)
set(QUARN_MUSL_BINUTILS x86_64-linux-gnu)
set(QUARN_MUSL_KERNEL_HEADERS /usr/include /usr/include/x86_64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-musl.cmake)
