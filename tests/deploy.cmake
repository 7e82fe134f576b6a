# The release package in fresh prefixes (test_deploy, a shell script): use
# without registration through manifests, kavro doctor against broken
# installations, install.cmd and uninstall.cmd. RegFreeClient.exe is the host
# there: it knows the component only from its application manifest.
add_executable(RegFreeClient deploy/RegFreeClient.cpp deploy/RegFreeClient.rc)
target_include_directories(RegFreeClient PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/deploy)
target_link_libraries(RegFreeClient PRIVATE typelib_ids ole32 oleaut32 uuid)
set_source_files_properties(deploy/RegFreeClient.rc PROPERTIES OBJECT_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/deploy/RegFreeClient.manifest)

add_test(NAME test_deploy COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/deploy/deploy.sh ${CMAKE_BINARY_DIR})
set_tests_properties(test_deploy PROPERTIES TIMEOUT 1800)
add_dependencies(RegFreeClient kavro Kavro HwDev ZebMachineHost)

# The 64-bit HwDev.dll of one broken installation: the toolchain makes 32-bit
# code only, so the 64-bit compiler builds it.
set(HWDEV64 ${KAVRO_BIN}/x64/HwDev.dll)
add_custom_command(OUTPUT ${HWDEV64}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KAVRO_BIN}/x64
    COMMAND x86_64-w64-mingw32-gcc -shared -s -Wl,--no-insert-timestamp -o ${HWDEV64} ${CMAKE_CURRENT_SOURCE_DIR}/deploy/HwDev64.c
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/deploy/HwDev64.c)
add_custom_target(hwdev64 ALL DEPENDS ${HWDEV64})
add_dependencies(RegFreeClient hwdev64)
