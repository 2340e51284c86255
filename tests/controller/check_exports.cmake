# Fails unless the dynamic symbols LIB defines are exactly the library's exported functions.
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(found)
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* " "" name "${line}")
    list(APPEND found ${name})
endforeach()
list(SORT found)
set(want
    kvo_perfctrl_init kvo_perfctrl_uninit kvo_enable_vurizeda kvo_add_cpu_vurizeda
    kvo_del_cpu_vurizeda kvo_set_cpu_vurizeda_upper kvo_set_cpu_vurizeda_lower
    kvo_query_vurizeda_cpucnt kvo_add_cpu_group kvo_del_cpu_group kvo_add_thread_cpu_limit
    kvo_del_thread_cpu_limit kvo_resume_update_thread kvo_set_io_vurizeda_upper
    kvo_set_io_vurizeda_lower kvo_add_io_exclusions_handle kvo_del_io_exclusions_handle
    kvo_thread_cpu_limit_from_config _Z31kvo_get_thread_cpulimit_percentPKc
    kvo_thread_cpu_limit_unregister
    RegisterCpuCtrl UnRegisterCpuCtrl AddCpuCtrlObject DelCpuCtrlObject ResumeUpdateThread
    PluginLoaderInit PluginLoaderUnInit GetCommImpl CpuGroupIniCb LoadExclusionPath)
list(SORT want)
if(NOT found STREQUAL want)
    message(FATAL_ERROR "exported: ${found}\nexpected: ${want}")
endif()
