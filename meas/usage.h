// How meas answers a command line it cannot use: the command, what is wrong, and a hint
// towards the name that was probably meant.
#pragma once

#include <string>
#include <vector>

inline constexpr int EXIT_USAGE = 2;

// "WHERE: MESSAGE" and "(see 'WHERE --help')" on standard error; the exit code of a usage error.
int usage_error(const std::string& where, const std::string& message);

// The name among candidates closest to what was typed (a hint for a mistyped name), or "" when
// none is near.
std::string closest_name(const std::string& typed, const std::vector<std::string>& candidates);

// message, with "; did you mean 'NAME'?" when a candidate is near what was typed.
std::string with_hint(const std::string& message, const std::string& typed, const std::vector<std::string>& candidates);

// "unknown option 'typed'" with a hint among the options' names; a name starting with a single
// '-' may also be a file's, which needs -- before it.
std::string unknown_option_message(const std::string& typed, const std::vector<std::string>& options);
