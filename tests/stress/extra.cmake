# Stress runs. test_stress drives the library linked in, where the registry can
# be seen; kvo-stress drives the shared library as a host does. The runs load
# the processors fully, so they run alone. The 60-second run is labelled
# stress60: scripts/test.sh selects it for the sanitizer configurations only.
if(TARGET test_stress)
    target_link_libraries(test_stress PRIVATE kvo_stress_engine)
    add_dependencies(test_stress kvo_comm)
endif()

add_test(NAME stress_short COMMAND kvo-stress --seconds 10 --threads 32)
add_test(NAME stress_60s COMMAND kvo-stress --seconds 60 --threads 64)
set_tests_properties(stress_short PROPERTIES LABELS stress RUN_SERIAL TRUE TIMEOUT 180)
set_tests_properties(stress_60s PROPERTIES LABELS stress60 RUN_SERIAL TRUE TIMEOUT 300)

# 200 load/unload cycles in one process: no growth in threads, descriptors or
# resident memory (judged from the 20th cycle on).
add_test(NAME stress_dlopen_200
    COMMAND dlopen_host $<TARGET_FILE:kvo_vurizeda> ${CMAKE_BINARY_DIR}/config/kvo_vurizeda.ini 200 20)
set_tests_properties(stress_dlopen_200 PROPERTIES LABELS stress RUN_SERIAL TRUE TIMEOUT 300
    ENVIRONMENT KVO_LOG_LEVEL=1)
