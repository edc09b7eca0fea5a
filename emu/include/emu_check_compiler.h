// Force-included by median_emu_check's compile options: the checks see a
// kernel's loads and stores through clang's load and store instrumentation.
#pragma once

#if !defined(__clang__) || __clang_major__ < 14
#error "median_filter_emu_check instruments kernels with -fsanitize-coverage=trace-loads,trace-stores: build them with clang++ 14 or newer"
#endif
