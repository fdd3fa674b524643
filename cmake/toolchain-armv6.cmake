# Cross build for the Raspberry Pi: ARMv6, VFPv2, hard-float, ARM state,
# with Debian's arm-linux-gnueabihf toolchain. ARM programs that CTest runs
# go through qemu-arm with the toolchain's runtime as its root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KELVANE_CROSS arm-linux-gnueabihf)
find_program(KELVANE_CROSS_GCC ${KELVANE_CROSS}-gcc)
find_program(KELVANE_CROSS_GXX ${KELVANE_CROSS}-g++)
if(NOT KELVANE_CROSS_GCC OR NOT KELVANE_CROSS_GXX)
  message(FATAL_ERROR "The cross compiler ${KELVANE_CROSS}-g++ is missing: "
                      "apt-get install g++-${KELVANE_CROSS} (or run ./run-demo, which installs it)")
endif()
set(CMAKE_C_COMPILER ${KELVANE_CROSS_GCC})
set(CMAKE_CXX_COMPILER ${KELVANE_CROSS_GXX})

set(KELVANE_ARCH_FLAGS "-march=armv6 -marm -mfpu=vfp -mfloat-abi=hard")
set(CMAKE_C_FLAGS_INIT "${KELVANE_ARCH_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${KELVANE_ARCH_FLAGS}")

set(KELVANE_SYSROOT /usr/${KELVANE_CROSS})
set(CMAKE_FIND_ROOT_PATH ${KELVANE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

find_program(KELVANE_QEMU_ARM qemu-arm)
if(KELVANE_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVANE_QEMU_ARM} -L ${KELVANE_SYSROOT})
endif()
