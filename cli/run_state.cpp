#include "cli/run_state.h"

TypeFlags g_type_flags = 0;
RunPaths g_run_paths;
