# The life-cycle programs share their helpers.
foreach(program test_lifecycle test_lifecycle_live)
    if(TARGET ${program})
        target_sources(${program} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/lifecycle_util.cpp)
    endif()
endforeach()
