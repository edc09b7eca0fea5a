#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// Makes the rename itself durable; some file systems cannot sync a
// directory, which loses nothing already written, so failure is ignored.
void sync_directory(const std::string& path) {
    const std::string dir = directory_of(path);
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

std::string failure(const std::string& action, const std::string& path) {
    return "cannot " + action + " " + path + ": " + std::strerror(errno);
}

}  // namespace

bool atomic_file::open(const std::string& path, std::string& error) {
    discard();
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = "cannot write " + path + ": " + (S_ISDIR(st.st_mode) ? "it is a directory" : "not a regular file");
        return false;
    }
    const std::string pattern = directory_of(path) + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error = failure("write", path) + " (creating a file in its directory)";
        return false;
    }
    set_default_mode(fd);
    stream_ = fdopen(fd, "w+b");
    if (!stream_) {
        error = failure("write", path);
        close(fd);
        unlink(name.data());
        return false;
    }
    path_ = path;
    temp_ = name.data();
    return true;
}

bool atomic_file::commit(std::string& error) {
    if (!stream_) {
        error = "cannot write " + path_ + ": not open";
        return false;
    }
    // A failed write earlier leaves the error flag set and errno saying why.
    bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
    if (!ok) error = failure("write", path_);
    if (ok && fsync(fileno(stream_)) != 0) {
        error = failure("write", path_) + " (syncing it to disk)";
        ok = false;
    }
    std::FILE* stream = stream_;
    stream_ = nullptr;
    if (std::fclose(stream) != 0 && ok) {
        error = failure("write", path_) + " (closing it)";
        ok = false;
    }
    if (ok && std::rename(temp_.c_str(), path_.c_str()) != 0) {
        error = failure("replace", path_);
        ok = false;
    }
    if (!ok) {
        unlink(temp_.c_str());
        temp_.clear();
        return false;
    }
    temp_.clear();
    sync_directory(path_);
    return true;
}

void atomic_file::discard() {
    if (stream_) std::fclose(stream_);
    stream_ = nullptr;
    if (!temp_.empty()) unlink(temp_.c_str());
    temp_.clear();
}

bool atomic_file::commit(const std::string& contents, std::string& error) {
    if (stream_) std::fwrite(contents.data(), 1, contents.size(), stream_);
    return commit(error);
}
