# The sanitizer build (make sanitize): -DZV_SANITIZE=ON builds the whole tree
# with UndefinedBehaviorSanitizer, and with AddressSanitizer as well in every
# module whose processes leave the runtime's fixed heap addresses alone.
# ASan's i386 shadow memory takes 0x20000000 and up, where the Lisp heap is
# reserved; so the runtime's modules (those that reserve it, and those whose
# libraries the runtime's tests link) build under UBSan only. A module added
# to the tree gets both unless it is named here.
option(ZV_SANITIZE "Build with the sanitizers (a separate build directory)" OFF)

set(ZV_RUNTIME_MODULES platform testing runtime launcher)

# Any finding ends the process, so the test that caused it fails.
set(ZV_UBSAN_FLAGS -fsanitize=undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
set(ZV_ASAN_FLAGS -fsanitize=address)
# The runtime's fixed layouts put words at any byte address (the globals and
# entries at nil + offset, nil ending in 5), which the x86 reads as it reads
# any other: the alignment check is left out there.
set(ZV_RUNTIME_UBSAN_FLAGS -fno-sanitize=alignment)
# Compiled at -O1 (after the build type's -O2, so it wins): the usual level for
# the sanitizers, and it takes about two thirds of the time to build.
set(ZV_SANITIZE_OPTIMISATION -O1)

# Sets the sanitizer options that the next add_subdirectory(module) hands to
# every target of the module (a directory inherits its parent's options when
# it is added).
macro(zv_sanitize_module module)
  if(ZV_SANITIZE)
    set(zv_module_sanitizers ${ZV_UBSAN_FLAGS})
    if("${module}" IN_LIST ZV_RUNTIME_MODULES)
      list(APPEND zv_module_sanitizers ${ZV_RUNTIME_UBSAN_FLAGS})
    else()
      list(APPEND zv_module_sanitizers ${ZV_ASAN_FLAGS})
    endif()
    set_property(DIRECTORY PROPERTY COMPILE_OPTIONS
      ${zv_common_compile_options} ${ZV_SANITIZE_OPTIMISATION} ${zv_module_sanitizers})
    set_property(DIRECTORY PROPERTY LINK_OPTIONS ${zv_module_sanitizers})
  endif()
endmacro()

if(ZV_SANITIZE)
  # The options every module has without sanitizers, kept to add the module's own to.
  get_property(zv_common_compile_options DIRECTORY PROPERTY COMPILE_OPTIONS)
endif()

# Links the default sanitizer options (testing/asan_default_options.cpp) into
# every executable under `dir` that is linked with AddressSanitizer, whether
# its module is sanitized or the target asks for it itself. Called once all
# modules are added.
function(zv_link_asan_defaults dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(link_options ${target} LINK_OPTIONS)
    if(type STREQUAL "EXECUTABLE" AND "-fsanitize=address" IN_LIST link_options)
      target_link_libraries(${target} PRIVATE zv_asan_defaults)
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    zv_link_asan_defaults(${subdirectory})
  endforeach()
endfunction()
