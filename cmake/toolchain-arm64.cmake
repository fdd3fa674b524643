# Cross build for 64-bit Raspberry Pi OS (arm64): ARMv8.0-A, which every
# 64-bit Pi runs (Cortex-A53 in the Pi 3 and Zero 2 W, A72 in the Pi 4,
# A76 in the Pi 5). Debian's own aarch64 cross toolchain and runtime are
# ARMv8.0-A throughout, start-up code included, so they are used as they
# are. The linker keeps its default maximum page size (64 KiB), so the
# program loads on the Pi 5's 16 KiB pages too. ARM programs that CTest runs
# go through qemu-aarch64 on a Cortex-A53, the oldest of those CPUs: qemu
# refuses any later instruction there.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(KELVANE_CROSS aarch64-linux-gnu)
find_program(KELVANE_CROSS_GCC ${KELVANE_CROSS}-gcc)
find_program(KELVANE_CROSS_GXX ${KELVANE_CROSS}-g++)
if(NOT KELVANE_CROSS_GCC OR NOT KELVANE_CROSS_GXX)
  message(FATAL_ERROR "The cross compiler ${KELVANE_CROSS}-gcc/g++ is missing: "
                      "apt-get install gcc-${KELVANE_CROSS} g++-${KELVANE_CROSS}")
endif()
set(CMAKE_C_COMPILER ${KELVANE_CROSS_GCC})
set(CMAKE_CXX_COMPILER ${KELVANE_CROSS_GXX})

set(KELVANE_ARCH_FLAGS "-march=armv8-a")
set(CMAKE_C_FLAGS_INIT "${KELVANE_ARCH_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${KELVANE_ARCH_FLAGS}")

set(KELVANE_SYSROOT /usr/${KELVANE_CROSS})
set(CMAKE_FIND_ROOT_PATH ${KELVANE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The CPUs the tests run on: the A53 first, as the floor; the A76 only
# where the installed qemu knows it.
set(KELVANE_QEMU_CPU cortex-a53)
set(KELVANE_QEMU_MORE_CPUS cortex-a72)
find_program(KELVANE_QEMU qemu-aarch64)
if(KELVANE_QEMU)
  execute_process(COMMAND ${KELVANE_QEMU} -cpu help OUTPUT_VARIABLE cpus ERROR_QUIET)
  if(cpus MATCHES "cortex-a76")
    list(APPEND KELVANE_QEMU_MORE_CPUS cortex-a76)
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVANE_QEMU} -cpu ${KELVANE_QEMU_CPU} -L ${KELVANE_SYSROOT})
endif()
