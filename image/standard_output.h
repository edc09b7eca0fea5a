// The programs' reports go to standard output; a report that cannot be
// written is a failure, not a silent loss.
#pragma once

#include <string>

// False with `why` when standard output is closed. Checked first, because a
// file opened later would take its descriptor and receive the report.
bool standard_output_open(std::string& why);

// For a run that prints nothing on standard output: when it is closed,
// points its descriptor at /dev/null, so that no file opened later takes it.
// False with `why` when that fails.
bool reserve_closed_standard_output(std::string& why);

// Flushes standard output; false with `why` when anything written to it
// was lost (a full disk, a closed pipe).
bool standard_output_flushed(std::string& why);
