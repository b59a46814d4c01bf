// The fuzz targets link only the byte-level sources, not the diagnostics channel. An internal
// consistency check that fails on fuzzed input is a finding, so it stops the run.
#include "trace/trace.h"

void AssertFailed(const char*, int) { __builtin_trap(); }
