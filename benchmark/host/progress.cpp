#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace {
constexpr double quiet_ms = 1000.0;
}

progress_line::progress_line(std::string label, int total)
    : label_(std::move(label)), total_(total), terminal_(isatty(STDERR_FILENO) == 1) {
    clock_.start();
}

progress_line::~progress_line() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
}

void progress_line::update(int done) {
    if (!terminal_ || (!shown_ && clock_.elapsed_ms() < quiet_ms)) return;
    shown_ = true;
    std::fprintf(stderr, "\r\033[K%s %d/%d", label_.c_str(), done, total_);
    std::fflush(stderr);
}
