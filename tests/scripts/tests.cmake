# The one runner of Windows programs (scripts/wine-run.sh), on whichever path
# this machine takes: what crosses it, when it ends, and its server's stop.
add_executable(runner-probe scripts/RunnerProbe.cpp)
add_test(NAME test_runner COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/scripts/runner.sh ${CMAKE_BINARY_DIR})
set_tests_properties(test_runner PROPERTIES TIMEOUT 600)
