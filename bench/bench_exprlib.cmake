# Naming through the loaded expression library against PCRE2 called directly
# and std::regex, all in the same run.
zf_add_bench(bench_exprlib LIBS zf_exprlib PkgConfig::PCRE2)
target_compile_definitions(bench_exprlib PRIVATE PCRE2_CODE_UNIT_WIDTH=8)
add_dependencies(bench_exprlib regex)
