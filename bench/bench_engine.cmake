# Discovery and stability check of a full file table against a plain
# opendir/readdir/stat loop, and ignore-mask matching against fnmatch, each
# measured in the same run.
zf_add_bench(bench_engine LIBS zf_engine)
