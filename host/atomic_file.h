#pragma once

#include <functional>
#include <string>

// Writes `path` through a temporary file in the same directory that replaces
// it only once `write` has succeeded, so an existing file is never left
// half-written. `write` gets the temporary path and returns false (with
// `error` set) on failure. Returns false with `error` set on any failure.
bool write_file_atomically(const std::string& path, const std::function<bool(const std::string& temp, std::string& error)>& write,
                           std::string& error);
