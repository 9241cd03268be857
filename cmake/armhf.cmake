# Cross build for 32-bit ARM with hard float, run under qemu-user.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(SERTERM_TRIPLET arm-linux-gnueabihf)
set(SERTERM_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
