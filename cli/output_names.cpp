#include "cli/run_state.h"

void derive_output_paths(const std::string& base) {
    g_run_paths.output_base = base;
    g_run_paths.physic_text = base + "_pv.txt";
    g_run_paths.physic_csv = base + "_pv.csv";
    g_run_paths.wavelength_text = base + "_wl.txt";
    g_run_paths.wavelength_csv = base + "_wl.csv";
}
