// A fresh directory per test, removed afterwards, to run programs in.
#pragma once

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <fstream>
#include <string>

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), {});
}

struct command_result {
    int exit_code = -1;
    std::string out;
    std::string err;
};

class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/median-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        chmod(dir_.c_str(), 0755);
        std::system(("rm -rf " + dir_).c_str());
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Runs a shell command in the directory, capturing its output.
    command_result run(const std::string& command) const {
        const std::string line = "cd " + dir_ + " && " + command + " >stdout.txt 2>stderr.txt";
        const int status = std::system(line.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(path("stdout.txt")),
                read_file(path("stderr.txt"))};
    }

    // Runs `command` in the directory as on a disk with `bytes` free: no
    // file may grow beyond that (RLIMIT_FSIZE, with SIGXFSZ ignored so that
    // writes fail with EFBIG). Standard output is discarded.
    command_result run_on_full_disk(const std::string& command, rlim_t bytes) const {
        const std::string line = "cd " + dir_ + " && " + command + " >/dev/null 2>stderr.txt";
        const pid_t pid = fork();
        if (pid == 0) {
            const rlimit limit{bytes, bytes};
            std::signal(SIGXFSZ, SIG_IGN);
            if (setrlimit(RLIMIT_FSIZE, &limit) == 0) execl("/bin/sh", "sh", "-c", line.c_str(), nullptr);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", read_file(path("stderr.txt"))};
    }

    // Whether a temporary file of an atomic write was left behind.
    bool temporary_files_left() const { return std::system(("ls -A " + dir_ + " | grep -q '^\\.tmp-'").c_str()) == 0; }

    std::string dir_;
};
