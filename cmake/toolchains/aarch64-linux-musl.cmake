# Fully static quarn for 64-bit ARM Linux against musl, with Debian's g++-aarch64-linux-gnu and
# musl-dev:arm64:
#   cmake -S . -B build-musl-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-musl.cmake
# quarn alone: the host tests need the C++ library, which musl builds do not have.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(QUARN_MUSL_TRIPLET aarch64-linux-musl)
set(QUARN_MUSL_BINUTILS aarch64-linux-gnu)
set(QUARN_MUSL_KERNEL_HEADERS /usr/aarch64-linux-gnu/include)
include(${CMAKE_CURRENT_LIST_DIR}/debian-musl.cmake)
