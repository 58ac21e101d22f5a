// meas info, check, plot and gen: what measinfo and measgen do, through their own parsers (one
// table of options each) and their own code, answered as meas answers: messages after "meas:",
// usage errors with a hint, help with every option's default.
#pragma once

#include <string>
#include <vector>

// Each takes the arguments after the command's name and gives the exit code.
int meas_info(const std::vector<std::string>& args);
int meas_check(const std::vector<std::string>& args);
int meas_plot(const std::vector<std::string>& args);
int meas_gen(const std::vector<std::string>& args);
