# Cross build for 64-bit big-endian s390x, run under qemu-user.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(SERTERM_TRIPLET s390x-linux-gnu)
set(SERTERM_QEMU qemu-s390x-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
