#pragma once

// The whole program: arguments in, process exit code out.
int measconv_main(int argc, const char* const* argv);
