# Every reader of a file from outside, fed mutated files in one process: the
# readers' own sources, no component and no COM.
add_executable(test_fuzz fuzz/FuzzTest.cpp
    ${CMAKE_SOURCE_DIR}/standins/hwdev/TerminalFile.cpp ${CMAKE_SOURCE_DIR}/tools/kavro/Store.cpp
    ${CMAKE_SOURCE_DIR}/tools/kavro/Manifest.cpp ${CMAKE_SOURCE_DIR}/tools/kavro/ImageFile.cpp
    ${CMAKE_SOURCE_DIR}/tools/kavro/Console.cpp)
target_include_directories(test_fuzz PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(test_fuzz PRIVATE gtest_main test_process field_codec third_party_headers)
add_dependencies(test_fuzz HwDevPartial)  # the image the cases mutate
add_test(NAME test_fuzz COMMAND test_fuzz)
set_tests_properties(test_fuzz PROPERTIES TIMEOUT 600)
# The package's manifest, not beside Kavro.dll, where it would change what the doctor finds.
configure_file(${CMAKE_SOURCE_DIR}/deploy/Kavro.manifest ${CMAKE_BINARY_DIR}/fuzz/Kavro.manifest COPYONLY)
