# Toolchain for the whole tree: 32-bit x86 Linux on a 64-bit Debian host.
# SSE2 arithmetic keeps double results identical to the reference (the x87
# default of -m32 computes in extended precision); no contraction into FMA.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_ASM_COMPILER gcc)

set(ZV_ARCH_FLAGS "-m32 -msse2 -mfpmath=sse -ffp-contract=off")
set(CMAKE_C_FLAGS_INIT "${ZV_ARCH_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${ZV_ARCH_FLAGS}")
set(CMAKE_ASM_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -no-pie")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Debian's i386 packages live under lib/i386-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_PREFIX_PATH /usr/lib/i386-linux-gnu/cmake)
set(FIND_LIBRARY_USE_LIB64_PATHS OFF)
