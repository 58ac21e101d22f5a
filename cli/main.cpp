#include "cli/entry.h"

int main(int argc, char** argv) { return measconv_main(argc, argv); }
