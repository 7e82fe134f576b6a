# ZebMachine.dll on its own, without the component: the host stand-in's
# objects, registration and test interface.
add_executable(test_host
    standins/host/HostTest.cpp
    standins/host/ServerTest.cpp
    standins/host/MachineItemTest.cpp
    standins/host/CardDataTest.cpp
    standins/host/CollectionTest.cpp)
target_include_directories(test_host PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(test_host PRIVATE gtest ZebMachineHost typelib_ids ole32 oleaut32 uuid advapi32)
add_test(NAME test_host COMMAND test_host)
set_tests_properties(test_host PROPERTIES TIMEOUT 300)
