# Fully static quarn for 32-bit ARM Linux (hard float) against musl, with Debian's
# g++-arm-linux-gnueabihf and musl-dev:armhf:
#   cmake -S . -B build-musl-armhf \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-musleabihf.cmake
# quarn alone: the host tests need the C++ library, which musl builds do not have.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QUARN_MUSL_TRIPLET arm-linux-musleabihf)
set(QUARN_MUSL_BINUTILS arm-linux-gnueabihf)
set(QUARN_MUSL_KERNEL_HEADERS /usr/arm-linux-gnueabihf/include)
include(${CMAKE_CURRENT_LIST_DIR}/debian-musl.cmake)
