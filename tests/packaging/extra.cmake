# The README's linking examples, built against a `cmake --install` of this tree.
# Hosts of an instrumented or 32-bit build need the same flags as the library.
set(example_flags "")
if(KVO_SANITIZE STREQUAL "address")
    set(example_flags "-fsanitize=address,undefined")
elseif(KVO_SANITIZE STREQUAL "thread")
    set(example_flags "-fsanitize=thread")
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    string(APPEND example_flags " -m32")
endif()
# The toolchain file may be named relative to the source tree; the examples build elsewhere.
set(example_toolchain "")
if(CMAKE_TOOLCHAIN_FILE)
    get_filename_component(example_toolchain "${CMAKE_TOOLCHAIN_FILE}" ABSOLUTE
        BASE_DIR ${CMAKE_SOURCE_DIR})
endif()
add_test(NAME packaging_examples
    COMMAND ${CMAKE_SOURCE_DIR}/examples/check-examples.sh ${CMAKE_BINARY_DIR}
        "${example_flags}" "${example_toolchain}")
set_tests_properties(packaging_examples PROPERTIES TIMEOUT 300 ENVIRONMENT KVO_LOG_LEVEL=1)
