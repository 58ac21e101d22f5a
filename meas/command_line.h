// meas: one program with subcommands over the converter's core. Arguments in, exit code out.
#pragma once

#include <string>
#include <vector>

int meas_main(int argc, const char* const* argv);

// The name among candidates closest to what was typed (a hint for a mistyped name), or "" when
// none is near.
std::string closest_name(const std::string& typed, const std::vector<std::string>& candidates);
