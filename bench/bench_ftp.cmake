# Fetching 200 files of 256 KiB from an FTP server on loopback (tests/ftp/
# ftpserver.py) through our client and through the FTP intake, against the
# curl command-line tool fetching the same files in one invocation, in the
# same run. FTP over TLS (vsftpd) and SFTP (sshd) through the tests' server
# kit, each against curl with the same protocol.
if(TARGET zf_ftp AND TARGET zf_test_support_nomain)
  zf_add_bench(bench_ftp LIBS zf_ftp zf_test_support_nomain)
  target_include_directories(bench_ftp PRIVATE ${CMAKE_SOURCE_DIR}/tests/ftp)
  target_compile_definitions(bench_ftp PRIVATE ZF_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()
