#include "atomic_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

namespace {

// The temporary files of outputs not yet committed, for the handler of the
// signals that end a run (Ctrl-C, `timeout`, a closed terminal), which
// removes them and ends the process as the signal would have. A handler
// can reach nothing but globals and may only make async-signal-safe calls:
// it reads these lock-free slots and unlinks. A name is complete before it
// is published and stays valid until it is withdrawn.
constexpr int max_pending_files = 16;
std::atomic<const char*> pending_files[max_pending_files];
constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_pending_files(int signal) {
    for (auto& slot : pending_files)
        if (const char* name = slot.load()) unlink(name);
    std::signal(signal, SIG_DFL);
    // Blocked until the handler returns, then delivered with the default
    // action: the exit status stays the signal's.
    std::raise(signal);
}

// Installs the handler once, for signals whose default action is in force
// (one the caller ignores, as under nohup, stays ignored).
void install_cleanup_handler() {
    static const bool installed = [] {
        for (const int signal : cleanup_signals) {
            struct sigaction current {};
            if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
            struct sigaction action {};
            action.sa_handler = remove_pending_files;
            sigemptyset(&action.sa_mask);
            sigaction(signal, &action, nullptr);
        }
        return true;
    }();
    (void)installed;
}

void publish(const char* name) {
    for (auto& slot : pending_files) {
        const char* empty = nullptr;
        if (slot.compare_exchange_strong(empty, name)) return;
    }
}

void withdraw(const char* name) {
    for (auto& slot : pending_files) {
        const char* expected = name;
        if (slot.compare_exchange_strong(expected, nullptr)) return;
    }
}

// Holds back the cleanup signals while a temporary file is created and
// published, so that none is left between the two.
class cleanup_signals_blocked {
public:
    cleanup_signals_blocked() {
        sigset_t set;
        sigemptyset(&set);
        for (const int signal : cleanup_signals) sigaddset(&set, signal);
        pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~cleanup_signals_blocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    cleanup_signals_blocked(const cleanup_signals_blocked&) = delete;
    cleanup_signals_blocked& operator=(const cleanup_signals_blocked&) = delete;

private:
    sigset_t old_;
};

std::string directory_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// mkstemp creates files 0600; give the result the mode of the file it
// replaces, else the mode a plain create would.
void set_mode(int fd, const struct stat* replaced) {
    if (replaced) {
        fchmod(fd, replaced->st_mode & 07777);
        return;
    }
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
    const bool exists = stat(path.c_str(), &st) == 0;
    // A name the final rename would refuse (too long, a file as a directory) fails now, not after the work.
    if (!exists && errno != ENOENT) {
        error = failure("write", path);
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        error = "cannot write " + path + ": " + (S_ISDIR(st.st_mode) ? "it is a directory" : "not a regular file");
        return false;
    }
    const std::string pattern = directory_of(path) + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    install_cleanup_handler();
    const cleanup_signals_blocked blocked;
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error = failure("write", path) + " (creating a file in its directory)";
        return false;
    }
    set_mode(fd, exists ? &st : nullptr);
    stream_ = fdopen(fd, "w+b");
    if (!stream_) {
        error = failure("write", path);
        close(fd);
        unlink(name.data());
        return false;
    }
    path_ = path;
    temp_ = name.data();
    publish(temp_.c_str());
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
    if (!ok) unlink(temp_.c_str());
    withdraw(temp_.c_str());
    temp_.clear();
    if (ok) sync_directory(path_);
    return ok;
}

void atomic_file::discard() {
    if (stream_) std::fclose(stream_);
    stream_ = nullptr;
    if (temp_.empty()) return;
    unlink(temp_.c_str());
    withdraw(temp_.c_str());
    temp_.clear();
}

bool atomic_file::commit(const std::string& contents, std::string& error) {
    if (stream_) std::fwrite(contents.data(), 1, contents.size(), stream_);
    return commit(error);
}
