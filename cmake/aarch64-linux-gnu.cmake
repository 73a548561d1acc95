# Cross-builds for 64-bit ARM Linux with Debian's cross compiler (Debian:
# g++-aarch64-linux-gnu, which brings the aarch64 C library under
# /usr/aarch64-linux-gnu). Its programs run under user-mode QEMU (Debian:
# qemu-user) through qemu-aarch64-run beside this file; CTest and the test
# scripts run them that way.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VELLOMAR_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VELLOMAR_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${VELLOMAR_CROSS_PREFIX}-g++)

# Libraries, headers and CMake packages only from the aarch64 trees: the
# cross compiler's, and the arm64 packages of a multiarch system under
# /usr/lib/aarch64-linux-gnu (Google Benchmark for the benchmarks:
# libbenchmark-dev:arm64). The build machine's x86-64 ones would link nowhere.
set(CMAKE_FIND_ROOT_PATH /usr/${VELLOMAR_CROSS_PREFIX} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VELLOMAR_QEMU_AARCH64 qemu-aarch64)
if(VELLOMAR_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/qemu-aarch64-run)
endif()
