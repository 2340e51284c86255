# The signal tests load the built library as a host would, to check unloading.
if(TARGET test_scheduler)
    add_dependencies(test_scheduler kvo_vurizeda)
    target_compile_definitions(test_scheduler PRIVATE
        KVO_LIBRARY_PATH="$<TARGET_FILE:kvo_vurizeda>")
    target_link_libraries(test_scheduler PRIVATE ${CMAKE_DL_LIBS})
endif()
