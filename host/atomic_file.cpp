#include "atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

std::string directory_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// mkstemp creates files 0600; give the result the mode a plain create would.
void set_default_mode(int fd) {
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
}

}  // namespace

bool write_file_atomically(const std::string& path,
                           const std::function<bool(const std::string& temp, std::string& error)>& write,
                           std::string& error) {
    std::string pattern = directory_of(path) + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error = "cannot create a file next to " + path + ": " + std::strerror(errno);
        return false;
    }
    set_default_mode(fd);
    close(fd);
    const std::string temp(name.data());
    if (!write(temp, error)) {
        unlink(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}
