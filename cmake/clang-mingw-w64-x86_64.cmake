# Cross build for 64-bit Windows with clang, against what Debian's MinGW-w64
# brings: its Windows headers and libraries, its GCC's libstdc++ and runtime,
# its linker and resource compiler.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${tarnwick_mingw})
set(CMAKE_CXX_COMPILER_TARGET ${tarnwick_mingw})
# GNU binutils, as the linker is GNU ld's: llvm-objcopy rejects its DLLs.
set(CMAKE_OBJCOPY ${tarnwick_mingw}-objcopy)
set(CMAKE_OBJDUMP ${tarnwick_mingw}-objdump)

# clang 14 does not read Debian's GCC folder name (".../12-posix") as a
# version, so it finds neither libstdc++'s headers nor GCC's libraries there.
execute_process(COMMAND ${TARNWICK_MINGW_GCC} -print-libgcc-file-name
  OUTPUT_VARIABLE tarnwick_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(tarnwick_gcc_dir "${tarnwick_libgcc}" DIRECTORY)
if(NOT EXISTS "${tarnwick_gcc_dir}/include/c++")
  message(FATAL_ERROR "${TARNWICK_MINGW_GCC} has no libstdc++ headers: ./dev windows installs it")
endif()
set(tarnwick_libstdcxx ${tarnwick_gcc_dir}/include/c++)
# GCC emulates thread-local storage on MinGW, so libstdc++'s thread-local
# variables (call_once's) are found only by code that does the same.
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls -isystem ${tarnwick_libstdcxx} -isystem ${tarnwick_libstdcxx}/${tarnwick_mingw} -isystem ${tarnwick_libstdcxx}/backward")
# GCC's POSIX-threads libstdc++ needs winpthread, which GCC links by itself.
# GNU ld notes "duplicate section ... has different size" where GCC's
# libstdc++ pads a type's name and clang's copy does not: the same text, kept once.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-L${tarnwick_gcc_dir} -pthread")
endforeach()
