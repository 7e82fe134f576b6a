# The terminal simulator on its own: no component, no COM.
add_executable(test_hwdev
    standins/hwdev/LookupTest.cpp standins/hwdev/ListsTest.cpp
    standins/hwdev/TransferTest.cpp standins/hwdev/ForcingTest.cpp
    standins/hwdev/PartialTest.cpp standins/hwdev/TerminalFileTest.cpp)
target_link_libraries(test_hwdev PRIVATE gtest_main HwDev test_process third_party_headers)
add_dependencies(test_hwdev HwDevPartial)
add_test(NAME test_hwdev COMMAND test_hwdev)
