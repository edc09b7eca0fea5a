"""The machine-code profile (tools/sass_profile.py): parse (SASS text),
flow (blocks, dominators, loops), loops (trip counts), counting (per-thread
cost), threads (a nominal launch evaluated thread by thread), warps (what
warps issue), model (rates, GPUs, occupancy), binary (cubins and
cuobjdump), report (rows and tables), __main__ (the command line)."""
