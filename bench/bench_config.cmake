zf_add_bench(bench_config LIBS zf_config)
