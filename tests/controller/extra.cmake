# A host built like a user's program that loads and unloads the library, and exits
# with its threads limited; and the symbol check.
add_executable(dlopen_host ${CMAKE_CURRENT_LIST_DIR}/dlopen_host.c)
target_include_directories(dlopen_host PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(dlopen_host PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
# Strict C99: the header's helpers must not lean on GNU extensions.
set_target_properties(dlopen_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
add_dependencies(dlopen_host kvo_vurizeda kvo_comm)
add_test(NAME controller_dlopen_cycles
    COMMAND dlopen_host $<TARGET_FILE:kvo_vurizeda> ${CMAKE_BINARY_DIR}/config/kvo_vurizeda.ini 20)
set_tests_properties(controller_dlopen_cycles PROPERTIES TIMEOUT 120 ENVIRONMENT KVO_LOG_LEVEL=1)

# libkvo_vurizeda.so exports exactly the host API, the scheduler's interface
# and the entry points other libraries look up by name.
set(library_exports
    kvo_perfctrl_init kvo_perfctrl_uninit kvo_enable_vurizeda kvo_add_cpu_vurizeda
    kvo_del_cpu_vurizeda kvo_set_cpu_vurizeda_upper kvo_set_cpu_vurizeda_lower
    kvo_query_vurizeda_cpucnt kvo_add_cpu_group kvo_del_cpu_group kvo_add_thread_cpu_limit
    kvo_del_thread_cpu_limit kvo_resume_update_thread kvo_set_io_vurizeda_upper
    kvo_set_io_vurizeda_lower kvo_add_io_exclusions_handle kvo_del_io_exclusions_handle
    kvo_thread_cpu_limit_from_config _Z31kvo_get_thread_cpulimit_percentPKc
    kvo_thread_cpu_limit_unregister
    RegisterCpuCtrl UnRegisterCpuCtrl AddCpuCtrlObject DelCpuCtrlObject ResumeUpdateThread
    PluginLoaderInit PluginLoaderUnInit GetCommImpl CpuGroupIniCb LoadExclusionPath)
string(REPLACE ";" "," library_exports "${library_exports}")
add_test(NAME controller_exports
    COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:kvo_vurizeda> -DWANT=${library_exports}
        -P ${CMAKE_CURRENT_LIST_DIR}/../support/check_exports.cmake)

# The controller's tests send samples as the collector builds them.
target_link_libraries(test_controller PRIVATE kvo_sampler)
# Initialize() loads the comm library next to the library under test.
add_dependencies(test_controller kvo_comm)
