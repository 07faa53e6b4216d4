# libFuzzer targets, built with clang (the rest of the tree builds with gcc)
# for i386 with ASan and UBSan, and run by hand. Optional: when clang or its
# i386 fuzzer and ASan runtimes are missing, zv_add_fuzzer says so once per
# target and adds nothing.
find_program(ZV_CLANGXX clang++)
set(ZV_FUZZ_UNAVAILABLE "")
if(NOT ZV_CLANGXX)
  set(ZV_FUZZ_UNAVAILABLE "clang++ not found")
else()
  execute_process(COMMAND ${ZV_CLANGXX} -print-resource-dir
    OUTPUT_VARIABLE clang_resource_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(clang_runtimes ${clang_resource_dir}/lib/linux)
  if(NOT EXISTS ${clang_runtimes}/libclang_rt.fuzzer-i386.a OR
     NOT EXISTS ${clang_runtimes}/libclang_rt.asan-i386.a)
    set(ZV_FUZZ_UNAVAILABLE "no i386 fuzzer or ASan runtime in ${clang_runtimes}")
  endif()
endif()

# zv_add_fuzzer(<name> SOURCES <files> [HEADERS <files>])
# Builds bin/<name> from the sources (paths relative to the calling folder or
# absolute); a change to one of the headers rebuilds it.
function(zv_add_fuzzer name)
  cmake_parse_arguments(FUZZ "" "" "SOURCES;HEADERS" ${ARGN})
  if(ZV_FUZZ_UNAVAILABLE)
    message(STATUS "${name}: ${ZV_FUZZ_UNAVAILABLE}, target skipped")
    return()
  endif()
  list(TRANSFORM FUZZ_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ REGEX "^[^/]")
  set(binary ${CMAKE_BINARY_DIR}/bin/${name})
  add_custom_command(OUTPUT ${binary}
    COMMAND ${ZV_CLANGXX} -m32 -std=c++20 -g -O1 -Wall -Wextra
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
            -I${PROJECT_SOURCE_DIR} ${FUZZ_SOURCES} -o ${binary}
    DEPENDS ${FUZZ_SOURCES} ${FUZZ_HEADERS}
    COMMENT "Building the fuzzer ${name} with clang"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${binary})
endfunction()
