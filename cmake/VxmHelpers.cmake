# Shared build and test conventions of the project.
include(GoogleTest)

set(VXM_RUN_ISOLATED ${PROJECT_SOURCE_DIR}/testing/run-isolated)
set(VXM_PLUGIN_VERSION_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/vxm_plugin.map)

# vxm_test_folders(<folder>...): the folders of tests (and of benchmarks) below the current one that
# exist, added only when BUILD_TESTING is on.
macro(vxm_test_folders)
  if(BUILD_TESTING)
    foreach(_vxm_folder ${ARGN})
      if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_vxm_folder}/CMakeLists.txt)
        add_subdirectory(${_vxm_folder})
      endif()
    endforeach()
  endif()
endmacro()

# Warnings for our own code.
function(vxm_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# A plug-in: a MODULE without "lib" prefix whose only exported symbols are vxmplugin_*.
function(vxm_plugin target)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL -Wl,--no-undefined -Wl,--gc-sections
    -Wl,--version-script=${VXM_PLUGIN_VERSION_SCRIPT})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${VXM_PLUGIN_VERSION_SCRIPT})
  vxm_warnings(${target})
endfunction()

# A static core library that a plug-in links: hidden symbols as well.
function(vxm_plugin_core target)
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON)
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
  vxm_warnings(${target})
endfunction()

# vxm_test(NAME <name> SOURCES ... [LIBS ...] [LABELS ...] [ARGS ...] [GTEST_MAIN] [NETNS] [PIDNS] [MOUNTNS] [GUI]
#          [THREADED] [RESOURCE_LOCK ...] [TIMEOUT s])
# Builds a GoogleTest or Qt Test executable and registers it with ctest through vxm_add_test_command.
# GTEST_MAIN links GoogleTest's main and GoogleMock.
function(vxm_test)
  cmake_parse_arguments(T "NETNS;PIDNS;MOUNTNS;GUI;THREADED;GTEST_MAIN" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK;ARGS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS})
  if(T_GTEST_MAIN)
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock)
  endif()
  vxm_warnings(${T_NAME})
  set(flags "")
  foreach(f NETNS PIDNS MOUNTNS GUI THREADED)
    if(T_${f})
      list(APPEND flags ${f})
    endif()
  endforeach()
  vxm_add_test_command(NAME ${T_NAME} COMMAND $<TARGET_FILE:${T_NAME}> ${T_ARGS}
    LABELS ${T_LABELS} RESOURCE_LOCK ${T_RESOURCE_LOCK} TIMEOUT ${T_TIMEOUT} ${flags})
endfunction()

# vxm_add_test_command(NAME <name> COMMAND <cmd...> [LABELS ...] [NETNS] [PIDNS] [MOUNTNS] [GUI] [THREADED]
#                      [RESOURCE_LOCK ...] [TIMEOUT s])
# Every test runs through testing/run-isolated, which gives it its own HOME and TMPDIR (and, with
# NETNS, its own network namespace with only loopback up, for the fixed ports; with PIDNS, its own
# process namespace and /proc, for tests that look at every running process; with MOUNTNS, its own
# mount namespace, for tests that mount a small tmpfs; skipped where no namespace can be made). THREADED marks the
# tests that the ThreadSanitizer build runs; GUI adds the "gui" label (Qt runs offscreen).
function(vxm_add_test_command)
  cmake_parse_arguments(T "NETNS;PIDNS;MOUNTNS;GUI;THREADED" "NAME;TIMEOUT" "COMMAND;LABELS;RESOURCE_LOCK" ${ARGN})
  set(wrap ${VXM_RUN_ISOLATED})
  if(T_NETNS)
    list(APPEND wrap --netns)
  endif()
  if(T_PIDNS)
    list(APPEND wrap --pidns)
  endif()
  if(T_MOUNTNS)
    list(APPEND wrap --mountns)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${wrap} -- ${T_COMMAND})
  set(labels ${T_LABELS})
  if(T_GUI)
    list(APPEND labels gui)
  elseif(NOT labels)
    set(labels unit)
  endif()
  if(T_THREADED)
    list(APPEND labels threaded)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(env "QT_QPA_PLATFORM=offscreen;VXM_SOURCE_DIR=${PROJECT_SOURCE_DIR};VXM_BINARY_DIR=${PROJECT_BINARY_DIR}")
  # Leaks of Qt itself (offscreen screens) are not ours.
  list(APPEND env "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/testing/lsan.supp")
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}")
  if(T_RESOURCE_LOCK)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  if(T_NETNS OR T_PIDNS OR T_MOUNTNS)
    # run-isolated's answer where no namespace can be made.
    set_tests_properties(${T_NAME} PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endfunction()

# vxm_check_exports(<plug-in target>)
# A test that fails when the plug-in's dynamic symbol table defines anything but vxmplugin_ functions
# (the linker's own markers such as _init, _fini, _edata, _end and __bss_start are allowed).
function(vxm_check_exports target)
  if(NOT BUILD_TESTING)
    return()
  endif()
  find_program(VXM_NM NAMES nm REQUIRED)
  vxm_add_test_command(NAME ${target}_exports
    COMMAND ${CMAKE_COMMAND} -DNM=${VXM_NM} -DPLUGIN=$<TARGET_FILE:${target}>
            -P ${PROJECT_SOURCE_DIR}/cmake/VxmCheckExports.cmake
    LABELS unit)
endfunction()

# libFuzzer targets (clang only). A tree configured with VXM_FUZZERS=ON builds them all through the
# target vxm_fuzzers and lists them in <build>/fuzzers.tsv, one line each: name, executable, corpus
# folder (tab-separated); scripts/test runs every listed target from a scratch copy of its corpus.
# Build only vxm_fuzzers in such a tree: the libraries named by INSTRUMENT carry the fuzzer's
# instrumentation, which the tree's other programs do not link.
option(VXM_FUZZERS "Build the libFuzzer targets (clang only)" OFF)
if(VXM_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VXM_FUZZERS needs clang (-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)")
  endif()
  add_custom_target(vxm_fuzzers)
  set_property(GLOBAL PROPERTY VXM_FUZZER_LINES "")
  cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL _vxm_write_fuzzer_list)
endif()
set(VXM_FUZZ_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g)

# vxm_fuzzer(NAME <name> SOURCES ... [LIBS ...] [INSTRUMENT <libs>] CORPUS <committed corpus folder>)
# A libFuzzer target (LLVMFuzzerTestOneInput in SOURCES) with address and undefined-behaviour
# sanitizers; INSTRUMENT names the libraries under test, which are compiled with
# -fsanitize=fuzzer-no-link so that the fuzzer sees their coverage. Nothing happens unless
# VXM_FUZZERS is on.
function(vxm_fuzzer)
  cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS;INSTRUMENT" ${ARGN})
  if(NOT VXM_FUZZERS)
    return()
  endif()
  if(NOT F_NAME OR NOT F_SOURCES OR NOT F_CORPUS)
    message(FATAL_ERROR "vxm_fuzzer needs NAME, SOURCES and CORPUS")
  endif()
  get_filename_component(corpus ${F_CORPUS} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  if(NOT IS_DIRECTORY ${corpus})
    message(FATAL_ERROR "vxm_fuzzer ${F_NAME}: no corpus folder ${corpus}")
  endif()
  foreach(lib ${F_INSTRUMENT})
    get_target_property(done ${lib} VXM_FUZZ_INSTRUMENTED)
    if(NOT done)
      target_compile_options(${lib} PRIVATE -fsanitize=fuzzer-no-link ${VXM_FUZZ_FLAGS})
      set_target_properties(${lib} PROPERTIES VXM_FUZZ_INSTRUMENTED ON)
    endif()
  endforeach()
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer ${VXM_FUZZ_FLAGS})
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  vxm_warnings(${F_NAME})
  add_dependencies(vxm_fuzzers ${F_NAME})
  set_property(GLOBAL APPEND PROPERTY VXM_FUZZER_LINES "${F_NAME}\t$<TARGET_FILE:${F_NAME}>\t${corpus}\n")
endfunction()

function(_vxm_write_fuzzer_list)
  get_property(lines GLOBAL PROPERTY VXM_FUZZER_LINES)
  string(REPLACE ";" "" content "${lines}")
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/fuzzers.tsv CONTENT "${content}")
endfunction()
