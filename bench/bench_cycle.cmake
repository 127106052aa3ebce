# The running worker over 100 queues on the disk with browse and stable time
# 1 second: time from files arriving at once until the last is delivered,
# against browse + stable time; and the same for a lone file.
zf_add_bench(bench_cycle LIBS zf_engine)
add_dependencies(bench_cycle regex)
