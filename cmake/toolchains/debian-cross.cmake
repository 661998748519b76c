# Common part of the Debian cross toolchains; the including file names the triplet and
# the qemu-user binary. The multiarch cross packages install the target's C library
# under /usr/<triplet>, which is both the sysroot for finding things and the root that
# qemu-user resolves the dynamic loader and shared libraries against.
set(QUARN_CROSS_ROOT /usr/${QUARN_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${QUARN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUARN_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH ${QUARN_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-user installs qemu-<arch>, qemu-user-static installs qemu-<arch>-static.
find_program(QUARN_CROSS_EMULATOR NAMES ${QUARN_CROSS_QEMU} ${QUARN_CROSS_QEMU}-static)
if(NOT QUARN_CROSS_EMULATOR)
  set(QUARN_CROSS_EMULATOR ${QUARN_CROSS_QEMU})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUARN_CROSS_EMULATOR} -L ${QUARN_CROSS_ROOT})
