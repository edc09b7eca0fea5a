// Which of the emulator's race and initialisation checks this test binary
// runs: those EMU_CHECK selects in the check build, none elsewhere.
#pragma once

#ifdef MEDIAN_EMULATION
#include "emu/check.h"

inline bool race_check() { return emu::check::active().race; }
inline bool init_check() { return emu::check::active().init; }
#else
inline bool race_check() { return false; }
inline bool init_check() { return false; }
#endif
