// The library's kernels as `median_suite list --json` describes them.
#pragma once

// Prints one JSON object per library kernel (every window, type and
// channel count), each preceded by `separator`, which then becomes ",\n  ".
void print_library_kernels_json(const char*& separator);
