# A shared library with the platform code inside, loaded by test_platform to
# check that "@" names the directory of the .so that holds the code.
add_library(kvo_platform_probe SHARED ${CMAKE_CURRENT_LIST_DIR}/probe/base_dir_probe.cpp)
target_link_libraries(kvo_platform_probe PRIVATE kvo_platform)
set_target_properties(kvo_platform_probe PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/probe)
if(TARGET test_platform)
    add_dependencies(test_platform kvo_platform_probe)
    target_compile_definitions(test_platform PRIVATE
        KVO_PLATFORM_PROBE_LIB="$<TARGET_FILE:kvo_platform_probe>")
endif()
