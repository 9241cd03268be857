# What every cross build shares; the per-architecture files set
# SERTERM_TRIPLET and SERTERM_QEMU first. The programs are linked
# statically, so that qemu-user runs them without the target's libraries,
# and GoogleTest is built from the source Debian's googletest package ships.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${SERTERM_TRIPLET}-g++)
set(CMAKE_C_COMPILER ${SERTERM_TRIPLET}-gcc) # GoogleTest asks for C too
set(CMAKE_CROSSCOMPILING_EMULATOR ${SERTERM_QEMU})
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_FIND_ROOT_PATH /usr/${SERTERM_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(SERTERM_GTEST_SOURCE /usr/src/googletest/googletest CACHE PATH "")
