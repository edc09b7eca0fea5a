#include "standard_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool standard_output_open(std::string& why) {
    if (fcntl(STDOUT_FILENO, F_GETFD) != -1) return true;
    why = "standard output is closed";
    return false;
}

bool standard_output_flushed(std::string& why) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    why = std::string("cannot write to standard output: ") + std::strerror(errno);
    return false;
}

bool reserve_closed_standard_output(std::string& why) {
    if (fcntl(STDOUT_FILENO, F_GETFD) != -1) return true;
    const int fd = open("/dev/null", O_WRONLY);
    if (fd == STDOUT_FILENO) return true;
    if (fd >= 0 && dup2(fd, STDOUT_FILENO) == STDOUT_FILENO) {
        close(fd);
        return true;
    }
    why = std::string("standard output is closed and /dev/null cannot take its place: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
}
