# The headless service's memory after start-up with 100 queues of 20 rules and
# its CPU time while idle, each against the service with no queues, measured
# in the same run by starting the built program.
zf_add_bench(bench_service LIBS zf_app)
add_dependencies(bench_service zentrafold regex)
target_compile_definitions(bench_service PRIVATE ZF_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
