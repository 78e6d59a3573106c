# Every product library of a fuzz build carries the coverage and sanitizer
# instrumentation; only the harness executables link libFuzzer's main.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "KELVORA_FUZZ needs clang (e.g. -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14)")
endif()
if(KELVORA_SANITIZE)
  message(FATAL_ERROR "KELVORA_FUZZ brings its own sanitizers; leave KELVORA_SANITIZE empty")
endif()
# Vector annotations: a read past size() but within capacity is an error too.
add_compile_definitions(_GLIBCXX_SANITIZE_VECTOR)
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer -gline-tables-only)
add_link_options(-fsanitize=address,undefined)
