# 64-bit hosts (test_x64hosts, a shell script): in a 64-bit prefix, a 64-bit
# client drives Kavro.clsMachine through the surrogate after install.cmd
# /x64hosts, and uninstall.cmd takes every key away again. The toolchain makes
# 32-bit code only, so the 64-bit compiler builds the client, with the host's
# objects and the recordset, here.
set(X64_CLIENT ${KAVRO_BIN}/x64/x64-client.exe)
set(X64_FLAGS -O1 -municode -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_WIN32_WINNT=0x0601
              -DHOSTSTUB_BUILDING -I${CMAKE_SOURCE_DIR}/standins/host -I${CMAKE_SOURCE_DIR}/standins/recordset
              -I${KAVRO_IDL_OUT})
set(X64_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/x64/X64Client.cpp)
foreach(unit ClassFactory HostStub Dispatch PropertyBag MachineItem CardData Collection ItemEnumerator)
    list(APPEND X64_SOURCES ${CMAKE_SOURCE_DIR}/standins/host/${unit}.cpp)
endforeach()
foreach(unit Table Dispatch Recordset Fields Field)
    list(APPEND X64_SOURCES ${CMAKE_SOURCE_DIR}/standins/recordset/${unit}.cpp)
endforeach()
set(X64_IDS)
foreach(lib ZebMachine StdCollection Ado26)
    set(object ${CMAKE_CURRENT_BINARY_DIR}/x64/${lib}_i.o)
    add_custom_command(OUTPUT ${object}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/x64
        COMMAND x86_64-w64-mingw32-gcc-posix -c -O1 -o ${object} ${KAVRO_IDL_OUT}/${lib}_i.c
        DEPENDS ${KAVRO_IDL_OUT}/${lib}_i.c)
    list(APPEND X64_IDS ${object})
endforeach()
add_custom_command(OUTPUT ${X64_CLIENT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KAVRO_BIN}/x64
    COMMAND x86_64-w64-mingw32-g++-posix -std=c++20 ${X64_FLAGS} ${X64_SOURCES} ${X64_IDS}
            -static -s -Wl,--no-insert-timestamp -o ${X64_CLIENT} -lole32 -loleaut32 -luuid -ladvapi32
    DEPENDS ${X64_SOURCES} ${X64_IDS} ${KAVRO_IDL_OUT}/ZebMachine.h
    COMMENT "x86_64 g++ x64-client.exe"
    VERBATIM)
add_custom_target(x64_client ALL DEPENDS ${X64_CLIENT})
add_dependencies(x64_client typelib_ids)

add_test(NAME test_x64hosts COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/x64/x64hosts.sh ${CMAKE_BINARY_DIR})
set_tests_properties(test_x64hosts PROPERTIES TIMEOUT 1500)
