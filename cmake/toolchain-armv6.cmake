# Cross build for the Raspberry Pi: ARMv6, VFPv2, hard-float, ARM state.
#
# Debian's cross toolchain links ARMv7 Thumb-2 start-up code, so programs
# are linked by a gcc built for ARMv6 from Debian's sources, with a glibc of
# its own (tools/build-armv6-toolchain). C++ is compiled by Debian's cross
# g++ with the same flags; the program needs no C++ runtime. ARM programs
# that CTest runs go through qemu-arm on an ARM1176, the Pi 1 and Zero CPU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KELVANE_CROSS arm-linux-gnueabihf)
if(DEFINED ENV{KELVANE_ARMV6_TOOLCHAIN})
  set(KELVANE_ARMV6_TOOLCHAIN $ENV{KELVANE_ARMV6_TOOLCHAIN})
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(KELVANE_ARMV6_TOOLCHAIN $ENV{XDG_CACHE_HOME}/kelvane/armv6)
else()
  set(KELVANE_ARMV6_TOOLCHAIN $ENV{HOME}/.cache/kelvane/armv6)
endif()
set(KELVANE_ARMV6_GCC ${KELVANE_ARMV6_TOOLCHAIN}/bin/${KELVANE_CROSS}-gcc)
if(NOT EXISTS ${KELVANE_ARMV6_TOOLCHAIN}/key OR NOT EXISTS ${KELVANE_ARMV6_GCC})
  message(FATAL_ERROR "The ARMv6 toolchain is missing from ${KELVANE_ARMV6_TOOLCHAIN}: "
                      "run tools/build-armv6-toolchain (up to 9 minutes on two cores, once)")
endif()
find_program(KELVANE_CROSS_GXX ${KELVANE_CROSS}-g++)
if(NOT KELVANE_CROSS_GXX)
  message(FATAL_ERROR "The cross compiler ${KELVANE_CROSS}-g++ is missing: "
                      "apt-get install g++-${KELVANE_CROSS}")
endif()
set(CMAKE_C_COMPILER ${KELVANE_ARMV6_GCC})
set(CMAKE_CXX_COMPILER ${KELVANE_CROSS_GXX})

set(KELVANE_ARCH_FLAGS "-march=armv6 -marm -mfpu=vfp -mfloat-abi=hard")
set(CMAKE_C_FLAGS_INIT "${KELVANE_ARCH_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${KELVANE_ARCH_FLAGS}")

set(KELVANE_SYSROOT ${KELVANE_ARMV6_TOOLCHAIN}/sysroot)
set(CMAKE_FIND_ROOT_PATH ${KELVANE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The CPUs the tests run on: the ARM1176 of the Pi 1 and Zero first, then
# the Pi 2's Cortex-A7 and a Pi 3 or 4 in 32-bit mode (max).
set(KELVANE_QEMU_CPU arm1176)
set(KELVANE_QEMU_MORE_CPUS cortex-a7 max)
find_program(KELVANE_QEMU qemu-arm)
if(KELVANE_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVANE_QEMU} -cpu ${KELVANE_QEMU_CPU} -L ${KELVANE_SYSROOT})
endif()
