# Cross-build for 32-bit ARMv7-A Linux boards with hard float, using Debian's
# arm-linux-gnueabihf compilers (g++-arm-linux-gnueabihf). Target programs run
# here under qemu-arm (qemu-user), which CTest uses as the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(ARMHF_TRIPLET arm-linux-gnueabihf)
set(ARMHF_SYSROOT /usr/${ARMHF_TRIPLET})
set(CMAKE_C_COMPILER ${ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ARMHF_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ARMHF_TRIPLET})

# Debian's armhf baseline, spelled out so the board's ABI never depends on
# what the compiler happens to default to.
set(CMAKE_C_FLAGS_INIT "-march=armv7-a+fp -mfloat-abi=hard -mthumb")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a+fp -mfloat-abi=hard -mthumb")

# Appended, so that a consumer can add the root it staged our package in.
list(APPEND CMAKE_FIND_ROOT_PATH ${ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(ARMHF_QEMU qemu-arm)
if(ARMHF_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ARMHF_QEMU} -L ${ARMHF_SYSROOT})
endif()

# Debian's name for this target, for the package and the checks of the built file.
set(DEBIAN_ARCHITECTURE armhf)
