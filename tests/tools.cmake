# kavro.exe: its exit codes and fingerprint store (test_tools), and the whole
# demo against the registered component (test_demo, a shell script that runs
# kavro.exe under Wine step by step).
kavro_test(test_tools tools/KavroToolTest.cpp
           ${CMAKE_SOURCE_DIR}/tools/kavro/Store.cpp ${CMAKE_SOURCE_DIR}/tools/kavro/Console.cpp)
target_link_libraries(test_tools PRIVATE field_codec third_party_headers)
add_dependencies(test_tools kavro)

add_test(NAME test_demo COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/demo.sh ${CMAKE_BINARY_DIR})
set_tests_properties(test_demo PROPERTIES TIMEOUT 300)
# Each of its few dozen kavro.exe runs costs seconds, many more in an emulated guest
# (138 s there, unloaded).
set_tests_properties(test_tools PROPERTIES TIMEOUT 1200)

# Ctrl+C as a terminal sends it, in a shell script since only the Linux side can.
add_test(NAME test_tools_interrupt COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/interrupt.sh ${CMAKE_BINARY_DIR})
set_tests_properties(test_tools_interrupt PROPERTIES TIMEOUT 900)
