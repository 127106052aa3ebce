# Fetching 200 files of 256 KiB from an FTP server on loopback (tests/ftp/
# ftpserver.py) through our client and through the FTP intake, against the
# curl command-line tool fetching the same files in one invocation, in the
# same run.
if(TARGET zf_ftp)
  zf_add_bench(bench_ftp LIBS zf_ftp)
  target_compile_definitions(bench_ftp PRIVATE ZF_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()
