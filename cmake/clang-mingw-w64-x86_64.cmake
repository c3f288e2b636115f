# The second compiler: Debian's clang for 64-bit Windows, with the MinGW-w64 headers, libraries
# and libstdc++ (posix threads) that the GCC cross compiler uses, and LLVM's linker.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Debian names GCC's folder "12-posix", which clang does not take for a version: named here.
file(GLOB VELMORA_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/x86_64-w64-mingw32/*-posix)
list(GET VELMORA_GCC_DIRS -1 VELMORA_GCC_DIR)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${VELMORA_GCC_DIR}/include/c++ \
    -isystem ${VELMORA_GCC_DIR}/include/c++/x86_64-w64-mingw32 \
    -isystem ${VELMORA_GCC_DIR}/include/c++/backward")
# libstdc++ of the posix thread model calls winpthreads, which g++ adds by itself; LLVM's linker
# takes it in any position.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -fuse-ld=lld -L${VELMORA_GCC_DIR} -lpthread")