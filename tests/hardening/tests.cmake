# Faults, bad input, re-entrancy and leaks across every operation.
kavro_test(test_hardening hardening/FaultsTest.cpp hardening/InputTest.cpp
           hardening/ReentrancyTest.cpp hardening/RandomTest.cpp hardening/SoakTest.cpp)
target_link_libraries(test_hardening PRIVATE memory_recordset)
add_dependencies(test_hardening soak)
