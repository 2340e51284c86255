# kvo-top runs against this very test program, which limits threads of its own.
# The programs' command lines are run as a user would; kvo-config's checker is
# linked in to be given small files and a machine of the test's choosing.
if(TARGET test_tools)
    target_link_libraries(test_tools PRIVATE kvo_top_client kvo_config_check)
    target_compile_definitions(test_tools PRIVATE KVO_TEST_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
        KVO_TEST_VERSION="${PROJECT_VERSION}")
    add_dependencies(test_tools kvo-top kvo-demo kvo-collectord kvo-stress kvo-bench-sched
        kvo-config)
endif()

add_test(NAME tools_install_deps COMMAND ${CMAKE_CURRENT_LIST_DIR}/install_deps_test.sh
    ${CMAKE_SOURCE_DIR}/scripts/install-deps.sh)
