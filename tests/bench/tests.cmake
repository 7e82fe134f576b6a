# kavro-bench still runs: tiny sizes, one repetition, and a JSON with every figure.
kavro_test(test_bench bench/BenchTest.cpp)
target_link_libraries(test_bench PRIVATE third_party_headers)
add_dependencies(test_bench kavro-bench)
