zf_add_bench(bench_visuallog LIBS zf_log)
