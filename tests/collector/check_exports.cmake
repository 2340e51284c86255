# Fails unless the dynamic symbols LIB defines are exactly the eleven kvo_comm_ functions.
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
set(want kvo_comm_delete_data kvo_comm_get_data kvo_comm_init kvo_comm_new_data kvo_comm_post
    kvo_comm_register kvo_comm_send kvo_comm_set_data kvo_comm_uninit kvo_comm_unregister
    kvo_comm_unregister_all)
list(SORT want)
if(NOT found STREQUAL want)
    message(FATAL_ERROR "exported: ${found}\nexpected: ${want}")
endif()
