#pragma once

#include <cstdio>
#include <string>

// An output that replaces `path` only once it is complete: written to a
// temporary file in the same directory, which commit() flushes, syncs,
// closes and renames over `path`. Opening it first finds an output that
// cannot be written before the work that produces it; on any failure, and
// when it is destroyed uncommitted, the temporary file is removed and an
// existing file at `path` stays as it was; so it is when SIGINT, SIGTERM or
// SIGHUP ends the process, which then ends by that signal. A replaced
// file's permission bits carry over.
class atomic_file {
public:
    atomic_file() = default;
    ~atomic_file() { discard(); }
    atomic_file(const atomic_file&) = delete;
    atomic_file& operator=(const atomic_file&) = delete;

    // False with `error` (naming `path` and the cause) when `path` is not a
    // regular file, cannot be created there, or is a name the system refuses
    // (too long).
    bool open(const std::string& path, std::string& error);
    // The temporary file, open for writing; null unless opened.
    std::FILE* stream() const { return stream_; }
    const std::string& path() const { return path_; }
    // False with `error` when any write to the stream, the flush, the sync,
    // the close or the rename failed.
    bool commit(std::string& error);
    // Writes `contents` to the stream, then commits.
    bool commit(const std::string& contents, std::string& error);
    // Closes and removes the temporary file, leaving `path` as it was.
    void discard();

private:
    std::string path_;
    std::string temp_;
    std::FILE* stream_ = nullptr;
};
