# Collector tests: two stand-in comm libraries (one lacking kvo_comm_post), the
# sampler and comm headers, the real comm library and kvo-collectord to run.
foreach(kind full partial)
    add_library(fake_comm_${kind} SHARED ${CMAKE_CURRENT_LIST_DIR}/fake_comm.cpp)
    target_include_directories(fake_comm_${kind} PRIVATE ${CMAKE_SOURCE_DIR}/comm)
    set_target_properties(fake_comm_${kind} PROPERTIES OUTPUT_NAME kvo_comm
        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/fakecomm/${kind}/lib)
endforeach()
target_compile_definitions(fake_comm_partial PRIVATE FAKE_COMM_WITHOUT_POST)

if(TARGET test_collector)
    target_link_libraries(test_collector PRIVATE kvo_sampler)
    target_include_directories(test_collector PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_SOURCE_DIR}/comm)
    target_compile_definitions(test_collector PRIVATE
        KVO_TEST_LIB_DIR="${CMAKE_BINARY_DIR}/lib"
        KVO_TEST_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
        KVO_TEST_FAKE_COMM_DIR="${CMAKE_BINARY_DIR}/tests/fakecomm")
    add_dependencies(test_collector kvo_comm kvo-collectord fake_comm_full fake_comm_partial)
endif()

# libkvo_comm.so exports exactly its eleven functions.
set(comm_exports kvo_comm_delete_data kvo_comm_get_data kvo_comm_init kvo_comm_new_data
    kvo_comm_post kvo_comm_register kvo_comm_send kvo_comm_set_data kvo_comm_uninit
    kvo_comm_unregister kvo_comm_unregister_all)
string(REPLACE ";" "," comm_exports "${comm_exports}")
if(TARGET kvo_comm)
    add_test(NAME collector_comm_exports
        COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:kvo_comm> -DWANT=${comm_exports}
            -P ${CMAKE_CURRENT_LIST_DIR}/../support/check_exports.cmake)
endif()
