# Helpers shared by every module's CMakeLists.

# Time limits of the CTest tests, in seconds, well above the longest runs
# under the user-mode i386 emulator on two cores: one test (the thread stress
# tests take up to a minute there), and a whole test program.
set(ZV_TEST_TIMEOUT 300)
set(ZV_WHOLE_PROGRAM_TIMEOUT 600)

# zv_whole_program_test(program): a CTest test `<program>.whole` that runs
# the test program once with all its tests in one process, as a developer
# runs it by hand; a test that leaves state behind that another trips on
# fails it. Started before the single tests (COST), being the longest.
function(zv_whole_program_test program)
  add_test(NAME ${program}.whole COMMAND ${program})
  set_tests_properties(${program}.whole PROPERTIES TIMEOUT ${ZV_WHOLE_PROGRAM_TIMEOUT} COST 100)
endfunction()

# zv_add_gtest(name SOURCES ... LIBS ...): a GoogleTest executable whose tests
# are registered with CTest one by one, and in the plain build once more all
# together (zv_whole_program_test).
function(zv_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;DEFINITIONS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  if(ARG_DEFINITIONS)
    target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
  endif()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${ZV_TEST_TIMEOUT})
  # Once in the plain build: a test that depends on running alone shows
  # there, and CI's time on two cores has no room for it under the sanitizers.
  if(NOT ZV_SANITIZE)
    zv_whole_program_test(${name})
  endif()
endfunction()

# zv_add_benchmark(name SOURCES ... LIBS ...): build/bin/bench_<name>.
function(zv_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(bench_${name} ${ARG_SOURCES})
  target_link_libraries(bench_${name} PRIVATE ${ARG_LIBS} benchmark::benchmark_main)
endfunction()

# zv_step_code(target ...): code that runs in the simulation's per-step loop
# and is linked only into executables: built without position independence
# (on i386 it costs a register and an indirection per call and global; the
# compiler's own default is -fpie, so -fno-pie is given explicitly), and
# with zeroing loops kept as loops (the arrays are a few doubles; a memset
# call costs more than the stores).
function(zv_step_code)
  foreach(target IN LISTS ARGN)
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE OFF)
    target_compile_options(${target} PRIVATE -fno-pie -fno-tree-loop-distribute-patterns)
    if(ZV_PROGRAM_LTO)
      target_compile_options(${target} PRIVATE -flto=auto -ffat-lto-objects)
    endif()
  endforeach()
endfunction()

# Link-time optimisation of the two ramp programs: the step code's objects
# carry both their link-time form and ordinary code (fat objects). Every
# other executable links the ordinary code (-fno-lto; without it the linker
# plugin would optimise each test at link time too); zv_program(target)
# links a program from the link-time form. Off under the sanitizers.
if(ZV_SANITIZE)
  set(ZV_PROGRAM_LTO OFF)
else()
  set(ZV_PROGRAM_LTO ON)
  # (The driver lets -fno-lto win over -flto wherever it stands, so the
  # programs must not get it at all.)
  add_link_options($<IF:$<BOOL:$<TARGET_PROPERTY:ZV_PROGRAM>>,-flto=auto,-fno-lto>)
endif()

function(zv_program target)
  set_target_properties(${target} PROPERTIES ZV_PROGRAM ON)
endfunction()

# zv_engine_code(target ...): per-step code made of short fixed-size loops
# over 3-vectors and 3x3 blocks; -O3 unrolls them into straight-line code.
# Without -ffast-math no operation is reordered or dropped: the results stay
# bit for bit those of -O2. The loop vectoriser is left out: on loops of
# three it adds run-time overlap checks and remainder code that cost more
# than the pairs it forms (straight-line code is still paired).
function(zv_engine_code)
  zv_step_code(${ARGN})
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE -O3 -fno-tree-loop-vectorize)
  endforeach()
endfunction()
