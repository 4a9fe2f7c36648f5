# Functions every folder uses to declare its tests and fuzz targets, so the
# test binaries share one main, one precompiled test header and one set of
# labels, and `make fuzz` learns its targets from here.
#
#   qnmx_test_folder(<folder> [LIBS libs...] [PATHS name=path...] [DEPENDS targets...]
#                    [DEFINES defs...] [SLOW gtest-filter] [STOP_COLLECTOR])
#     test_<folder> from tests/<folder>/*.cc (except *_replay.cc), linked with
#     qnmx_<folder>, LIBS and the test support library. STOP_COLLECTOR stops
#     the collector task after the last test (tests/support/zu/
#     stop_collector.cc), for binaries whose interpreters start it, before
#     the main thread's thread-local state goes at exit. test_path("data")
#     names tests/<folder>/data, test_path(name) each PATHS entry (generator
#     expressions allowed); paths never go into DEFINES, which would make
#     every test source differ between clones. Each gtest case becomes a ctest test labelled
#     <folder>; those matching SLOW (a gtest filter, "A.*:B.C") are labelled
#     <folder>-slow instead (discovered tests take one label only) and start
#     first. `ctest -L slow` picks every slow test, `-L ^<folder>` a folder.
#
#   qnmx_slow_tests(<ctest tests...>)
#     Labels tests added with add_test as slow, so they start first.
#
#   qnmx_fuzz_target(<name> LIBS libs... SEEDS dir [DICT file] [REPLAY sources...]
#                    [ROUNDS n] [PATHS name=path...] [DEFINES defs...])
#     fuzz/<name>.cc defines LLVMFuzzerTestOneInput. With QNMX_FUZZ it is a
#     libFuzzer program that `make fuzz` runs on a copy of SEEDS with DICT;
#     with QNMX_TESTS a replay binary <name>_replay runs it over SEEDS and
#     mutations in the test suite (REPLAY: test sources replacing the plain
#     replay; test_path("seeds") and test_path("dict") name the corpus and
#     the dictionary, QNMX_REPLAY_ROUNDS the mutations wanted).

set(QNMX_SLOW_COST 1000)
# Test code is compiled without optimisation: it halves the compile time of
# a test source, and the code under test keeps the build's own flags.
set(QNMX_TEST_CXX_OPTIONS -O0 CACHE STRING "Extra compile options of test sources")
set(QNMX_FUZZ_REPLAY_SECONDS 30 CACHE STRING "Longest time one fuzz replay spends on mutations in the test suite")

# The precompiled test header, built once and reused by every test binary.
function(_qnmx_test_pch)
  if(TARGET qnmx_test_pch)
    return()
  endif()
  add_library(qnmx_test_pch OBJECT ${PROJECT_SOURCE_DIR}/tests/support/pch.cc)
  target_link_libraries(qnmx_test_pch PRIVATE GTest::gtest)
  target_include_directories(qnmx_test_pch PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(qnmx_test_pch PRIVATE ${QNMX_TEST_CXX_OPTIONS})
  target_precompile_headers(qnmx_test_pch PRIVATE
    <gtest/gtest.h> [["support/test_paths.h"]] <algorithm> <atomic> <chrono> <cstdint> <cstring> <filesystem>
    <fstream> <functional> <map> <memory> <sstream> <string> <thread> <vector>)
endfunction()

# Links a test binary with the support library, its main and the shared
# header, and gives it its table of paths (support/test_paths.h) from
# name=path entries.
function(_qnmx_test_binary target)
  _qnmx_test_pch()
  target_link_libraries(${target} PRIVATE qnmx_test_support qnmx_test_main GTest::gtest)
  target_precompile_headers(${target} REUSE_FROM qnmx_test_pch)
  target_compile_options(${target} PRIVATE -Winvalid-pch ${QNMX_TEST_CXX_OPTIONS})
  set(rows "")
  foreach(entry IN LISTS ARGN)
    string(FIND "${entry}" "=" eq)
    string(SUBSTRING "${entry}" 0 ${eq} name)
    math(EXPR from "${eq} + 1")
    string(SUBSTRING "${entry}" ${from} -1 value)
    string(APPEND rows "    {\"${name}\", \"${value}\"},\n")
  endforeach()
  set(paths ${CMAKE_CURRENT_BINARY_DIR}/${target}_paths.cc)
  file(GENERATE OUTPUT ${paths} CONTENT
    "#include \"support/test_paths.h\"\n\nconst TestPath qnmx_test_paths[] = {\n${rows}    {nullptr, nullptr}};\n")
  target_sources(${target} PRIVATE ${paths})
  set_source_files_properties(${paths} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
endfunction()

function(qnmx_test_folder folder)
  cmake_parse_arguments(T "STOP_COLLECTOR" "SLOW" "LIBS;DEFINES;DEPENDS;PATHS" ${ARGN})
  set(dir ${PROJECT_SOURCE_DIR}/tests/${folder})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cc)
  list(FILTER sources EXCLUDE REGEX "_replay\\.cc$")
  if(NOT sources)
    return()
  endif()
  if(T_STOP_COLLECTOR)
    list(APPEND sources ${PROJECT_SOURCE_DIR}/tests/support/zu/stop_collector.cc)
  endif()
  set(target test_${folder})
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE qnmx_${folder} ${T_LIBS})
  _qnmx_test_binary(${target} "data=${dir}/data" ${T_PATHS})
  if(T_DEFINES)
    target_compile_definitions(${target} PRIVATE ${T_DEFINES})
  endif()
  if(T_DEPENDS)
    add_dependencies(${target} ${T_DEPENDS})
  endif()
  if(T_SLOW)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_FILTER "${T_SLOW}"
      PROPERTIES TIMEOUT 300 LABELS "${folder}-slow" COST ${QNMX_SLOW_COST})
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_FILTER "-${T_SLOW}"
      PROPERTIES TIMEOUT 300 LABELS "${folder}")
  else()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS "${folder}")
  endif()
endfunction()

function(qnmx_slow_tests)
  set_property(TEST ${ARGN} APPEND PROPERTY LABELS slow)
  set_property(TEST ${ARGN} PROPERTY COST ${QNMX_SLOW_COST})
endfunction()

function(_qnmx_write_fuzz_list)
  get_property(all GLOBAL PROPERTY QNMX_FUZZ_LIST)
  list(JOIN all "\n" text)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzz_targets.txt CONTENT "${text}\n")
endfunction()

function(qnmx_fuzz_target name)
  cmake_parse_arguments(F "" "SEEDS;DICT;ROUNDS" "LIBS;REPLAY;PATHS;DEFINES" ${ARGN})
  set(entry ${PROJECT_SOURCE_DIR}/fuzz/${name}.cc)
  if(NOT F_DICT)
    set(F_DICT "")
  endif()
  if(NOT F_ROUNDS)
    set(F_ROUNDS 2000)
  endif()
  if(QNMX_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(${name} ${entry})
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    # The list `make fuzz` walks: program, seed folder, dictionary.
    get_property(listed GLOBAL PROPERTY QNMX_FUZZ_LIST SET)
    if(NOT listed)
      cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL _qnmx_write_fuzz_list)
    endif()
    set_property(GLOBAL APPEND PROPERTY QNMX_FUZZ_LIST "$<TARGET_FILE:${name}> ${F_SEEDS} ${F_DICT}")
  endif()
  if(QNMX_TESTS)
    if(NOT F_REPLAY)
      set(F_REPLAY ${PROJECT_SOURCE_DIR}/tests/support/fuzz_replay_test.cc)
    endif()
    add_executable(${name}_replay ${entry} ${F_REPLAY})
    target_link_libraries(${name}_replay PRIVATE ${F_LIBS})
    _qnmx_test_binary(${name}_replay "seeds=${F_SEEDS}" "dict=${F_DICT}" ${F_PATHS})
    # The entry compiles as `make fuzz` compiles it, without the test
    # header: an include it lacks fails here too.
    set_source_files_properties(${entry} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
    target_compile_definitions(${name}_replay PRIVATE QNMX_REPLAY_ROUNDS=${F_ROUNDS} ${F_DEFINES})
    gtest_discover_tests(${name}_replay DISCOVERY_TIMEOUT 60 TEST_PREFIX "${name}:"
      PROPERTIES TIMEOUT 300 LABELS "fuzz" COST ${QNMX_SLOW_COST} ENVIRONMENT "QNMX_FUZZ_SECONDS=${QNMX_FUZZ_REPLAY_SECONDS}")
  endif()
endfunction()
