zf_add_bench(visuallog LIBS zf_log)
