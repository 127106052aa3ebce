# One log file entry (comma-separated and XML, newonmax on) with 10, 1,000 and
# 10,000 entries in the file, against a plain write of the file's bytes in the
# same run.
zf_add_bench(bench_logfile LIBS zf_log)
