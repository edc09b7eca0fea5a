#include "host_stopwatch.h"

double HostStopwatch::elapsed_ms() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
}
