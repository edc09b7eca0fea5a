# libFuzzer targets, built by the fuzz preset: everything is compiled by
# clang with -fsanitize=fuzzer-no-link,address,undefined and the targets
# link libFuzzer. DevIL and the codecs behind it are Debian's builds: their
# faults are caught (a crash, or ASan's checks of the heap calls they make)
# but their code is not instrumented for coverage.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "MEDIAN_FUZZ needs clang (the fuzz preset selects it)")
endif()

add_library(median_fuzz_seeds STATIC tests/fuzz/seed_images.cpp tests/fuzz/image_writers.cpp)
target_include_directories(median_fuzz_seeds PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(median_fuzz_seeds PUBLIC median_image PRIVATE TIFF::TIFF JPEG::JPEG)

add_executable(fuzz_seeds tests/fuzz/write_seeds.cpp)
target_link_libraries(fuzz_seeds PRIVATE median_fuzz_seeds)

add_executable(fuzz_header tests/fuzz/fuzz_header.cpp)
target_link_libraries(fuzz_header PRIVATE median_image)
add_executable(fuzz_image tests/fuzz/fuzz_image.cpp tests/fuzz/image_path.cpp)
target_link_libraries(fuzz_image PRIVATE median_runner_emu)
foreach(target fuzz_header fuzz_image)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)
endforeach()

# A bounded run of each target from the generated seeds, as tests labelled
# "fuzz" (about a minute in all), with a fixed seed so that a clean build
# repeats the same mutations; tools/fuzz.sh runs them longer.
set(median_fuzz_corpus ${CMAKE_CURRENT_BINARY_DIR}/fuzz-corpus)
add_test(NAME fuzz.seeds
  COMMAND sh -c "mkdir -p '${median_fuzz_corpus}/seeds' && '$<TARGET_FILE:fuzz_seeds>' '${median_fuzz_corpus}/seeds'")
set_tests_properties(fuzz.seeds PROPERTIES FIXTURES_SETUP fuzz_seeds LABELS fuzz)
set(MEDIAN_FUZZ_SECONDS_header 20 CACHE STRING "Seconds of the fuzz.header test")
set(MEDIAN_FUZZ_SECONDS_image 40 CACHE STRING "Seconds of the fuzz.image test")
foreach(name header image)
  add_test(NAME fuzz.${name}
    COMMAND sh -c "mkdir -p '${median_fuzz_corpus}/${name}' && exec '$<TARGET_FILE:fuzz_${name}>' \
-max_total_time=${MEDIAN_FUZZ_SECONDS_${name}} -seed=1 -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 \
-dict='${PROJECT_SOURCE_DIR}/tests/fuzz/images.dict' -artifact_prefix='${CMAKE_CURRENT_BINARY_DIR}/fuzz-${name}-' \
'${median_fuzz_corpus}/${name}' '${median_fuzz_corpus}/seeds'")
  set_tests_properties(fuzz.${name} PROPERTIES FIXTURES_REQUIRED fuzz_seeds LABELS fuzz
    TIMEOUT 300 ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/fuzz/lsan.supp")
endforeach()
