// Progress of long loops on a terminal.
#pragma once

#include "host_stopwatch.h"

#include <string>

// Shows "label i/n" on stderr, redrawn in place, once a loop has run for a
// second; prints nothing when stderr is not a terminal.
class progress_line {
public:
    progress_line(std::string label, int total);
    ~progress_line();
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;

    void update(int done);

private:
    std::string label_;
    int total_;
    bool terminal_;
    bool shown_ = false;
    HostStopwatch clock_;
};
