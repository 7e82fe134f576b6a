# How Kavro.dll finds HwDev.dll, tried in folders of their own: a standalone
# program (it must not load HwDev.dll itself) that runs each case in a child
# process against its own copy of Kavro.dll.
set(isolated ${CMAKE_BINARY_DIR}/isolated)
add_executable(test_binding binding/BindingTest.cpp)
target_include_directories(test_binding PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(test_binding PRIVATE test_process gtest memory_recordset typelib_ids ole32 oleaut32 uuid)
set_target_properties(test_binding PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${isolated})
add_dependencies(test_binding Kavro HwDev HwDevPartial HwDevBare)
add_custom_command(TARGET test_binding POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${isolated}/nolib ${isolated}/partial ${isolated}/side
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Kavro> ${isolated}/nolib/Kavro.dll
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Kavro> ${isolated}/partial/Kavro.dll
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Kavro> ${isolated}/side/Kavro.dll
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Kavro> ${isolated}/bare/Kavro.dll
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:HwDev> ${isolated}/side/HwDev.dll)
add_test(NAME test_binding COMMAND test_binding WORKING_DIRECTORY ${isolated})
set_tests_properties(test_binding PROPERTIES TIMEOUT 300)
