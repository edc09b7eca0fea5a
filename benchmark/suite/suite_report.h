// Output of `median_suite bench`: the table on stdout, JSON and CSV files.
#pragma once

#include "image/atomic_file.h"
#include "suite_bench.h"

#include <cstdio>
#include <string>
#include <vector>

// Rows of one image, fastest first, under a header naming the device, the
// image and the launch count.
void print_bench_table(std::FILE* out, const std::vector<bench_row>& rows);

// {"rows": [{...}, ...]}, every field of every row, written to `file` and
// committed.
bool write_bench_json(atomic_file& file, const std::vector<bench_row>& rows, std::string& error);

// A header line, then one line per row with the same fields as the JSON.
bool write_bench_csv(atomic_file& file, const std::vector<bench_row>& rows, std::string& error);

// `s` as a JSON string literal, quotes included.
std::string json_string(const std::string& s);
