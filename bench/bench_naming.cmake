# Name resolution as the engine runs it (NameResolver::ResolveName through the
# loaded expression library) against the library's own loop, PCRE2 called
# directly and std::regex, all in the same run.
zf_add_bench(bench_naming LIBS zf_engine PkgConfig::PCRE2)
target_compile_definitions(bench_naming PRIVATE PCRE2_CODE_UNIT_WIDTH=8)
add_dependencies(bench_naming regex)
