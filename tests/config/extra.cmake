# The shipped example configuration is checked where it lives in the source tree.
if(TARGET test_config)
    target_compile_definitions(test_config PRIVATE
        KVO_EXAMPLE_INI="${CMAKE_SOURCE_DIR}/etc/kvo_vurizeda.ini")
endif()
