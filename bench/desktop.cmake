# The desktop panel on a private Xvfb session: start-up to the strip first drawn, memory of the
# app with its WebKit processes (PSS) over hover cycles, and CPU open, closed with agents at work
# and idle.
pkg_check_modules(BENCH_XTEST REQUIRED IMPORTED_TARGET xtst)
talvane_bench(desktop talvane_platform PkgConfig::DESKTOP PkgConfig::BENCH_XTEST)
target_sources(bench_desktop PRIVATE ${PROJECT_SOURCE_DIR}/tests/desktop/x_session.cpp)
target_include_directories(bench_desktop PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(bench_desktop PRIVATE TALVANE_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
                           TALVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(bench_desktop talvane)
