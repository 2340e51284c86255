# kvo-top runs against this very test program, which limits threads of its own.
if(TARGET test_tools)
    target_link_libraries(test_tools PRIVATE kvo_top_client)
    target_compile_definitions(test_tools PRIVATE KVO_TEST_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
    add_dependencies(test_tools kvo-top)
endif()
