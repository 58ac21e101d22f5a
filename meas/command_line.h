// meas: one program with subcommands over the converter's core. Arguments in, exit code out.
#pragma once

int meas_main(int argc, const char* const* argv);
