# Cross-compilation for the gateway: 32-bit ARM, hard float, Debian's
# arm-linux-gnueabihf toolchain (crossbuild-essential-armhf). Programs built
# here run on the build machine through qemu-arm (qemu-user), which is how
# CTest runs the unit tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(NORVALITH_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${NORVALITH_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${NORVALITH_ARMHF_TRIPLET}-g++)
set(CMAKE_STRIP ${NORVALITH_ARMHF_TRIPLET}-strip CACHE FILEPATH "")

# The runtime of the cross toolchain lives here, for the compiler and for qemu.
set(CMAKE_FIND_ROOT_PATH /usr/${NORVALITH_ARMHF_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(NORVALITH_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(NORVALITH_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NORVALITH_QEMU_ARM} -L /usr/${NORVALITH_ARMHF_TRIPLET})
endif()

# The notes on the GCC 7.1 ABI change concern only code built with GCC 6 or older.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
