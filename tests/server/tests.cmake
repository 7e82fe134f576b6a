# End-to-end tests of the in-process server: registration, creation and both
# interfaces, the type library, the resources, and a real script client.
kavro_test(test_server
    server/ServerSupport.cpp
    server/RegistrationTest.cpp
    server/ServerTest.cpp
    server/TypeLibraryTest.cpp
    server/ResourcesTest.cpp
    server/ScriptClientTest.cpp)

# The script client runs beside the binaries.
configure_file(server/LateBoundClient.vbs ${KAVRO_BIN}/LateBoundClient.vbs COPYONLY)
# It unregisters Kavro.dll from the prefix for a while: nothing else may run then.
set_tests_properties(test_server PROPERTIES RUN_SERIAL TRUE)
