# One pass of naming and delivery over 999 files against a plain copy loop
# over the same files, in the same run.
zf_add_bench(bench_delivery LIBS zf_engine)
add_dependencies(bench_delivery regex)
