# kvo-top runs against this very test program, which limits threads of its own.
# The programs' command lines are run as a user would; kvo-config's checker is
# linked in to be given small files and a machine of the test's choosing.
if(TARGET test_tools)
    target_link_libraries(test_tools PRIVATE kvo_top_client kvo_config_check)
    target_compile_definitions(test_tools PRIVATE KVO_TEST_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
        KVO_TEST_VERSION="${PROJECT_VERSION}")
    add_dependencies(test_tools kvo-top kvo-demo kvo-collectord kvo-stress kvo-config)
endif()

add_test(NAME tools_install_deps COMMAND ${CMAKE_CURRENT_LIST_DIR}/install_deps_test.sh
    ${CMAKE_SOURCE_DIR}/scripts/install-deps.sh)

# kvo-run end to end: the tool, its preload library and a probe program (also
# built static where a static C library exists). The --total rule is unit
# tested from its own source.
add_executable(run_probe ${CMAKE_CURRENT_LIST_DIR}/run_probe.c)
target_link_libraries(run_probe PRIVATE Threads::Threads)
set_target_properties(run_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

include(CheckCSourceCompiles)
set(CMAKE_REQUIRED_LINK_OPTIONS -static)
check_c_source_compiles("int main(void) { return 0; }" KVO_HAVE_STATIC_LIBC)
unset(CMAKE_REQUIRED_LINK_OPTIONS)
set(run_probe_defs KVO_RUN_TOOL="$<TARGET_FILE:kvo-run>" KVO_RUN_PROBE="$<TARGET_FILE:run_probe>"
    KVO_VERSION="${PROJECT_VERSION}")
if(KVO_HAVE_STATIC_LIBC AND KVO_SANITIZE STREQUAL "")
    add_executable(run_probe_static ${CMAKE_CURRENT_LIST_DIR}/run_probe.c)
    target_link_libraries(run_probe_static PRIVATE Threads::Threads)
    target_link_options(run_probe_static PRIVATE -static)
    set_target_properties(run_probe_static PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    list(APPEND run_probe_defs KVO_RUN_STATIC_PROBE="$<TARGET_FILE:run_probe_static>")
endif()
if(NOT KVO_SANITIZE STREQUAL "")
    list(APPEND run_probe_defs KVO_RUN_SANITIZED)
endif()

foreach(target test_tools test_tools_live)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/run_harness.cpp)
    target_compile_definitions(${target} PRIVATE ${run_probe_defs})
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    add_dependencies(${target} kvo-run kvo_run run_probe)
    if(TARGET run_probe_static)
        add_dependencies(${target} run_probe_static)
    endif()
endforeach()
target_sources(test_tools PRIVATE ${CMAKE_SOURCE_DIR}/tools/kvo-run/waterfill.cpp)
target_include_directories(test_tools PRIVATE ${CMAKE_SOURCE_DIR}/tools/kvo-run)

# A sanitizer build's preload needs its runtime loaded first: kvo-run's live tests
# cannot run there, and show as disabled.
if(NOT KVO_SANITIZE STREQUAL "")
    set(disabled ${CMAKE_CURRENT_BINARY_DIR}/test_tools_live_disabled.cmake)
    file(WRITE ${disabled}
        "set_tests_properties(\${test_tools_live_TESTS} PROPERTIES DISABLED TRUE)\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${disabled})
endif()
