#pragma once

#include <chrono>

// Wall-clock time on the host's monotonic clock.
class HostStopwatch {
public:
    void start() { start_ = std::chrono::steady_clock::now(); }
    double elapsed_ms() const;

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};
