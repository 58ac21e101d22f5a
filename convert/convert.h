// Converts the data file named in g_run_paths into the outputs selected by g_type_flags.
#pragma once

enum ConvertResult : int {
    CONVERT_OK = 0,
    CONVERT_INPUT_OPEN_FAILED = -1,
    CONVERT_PHYSIC_TEXT_OPEN_FAILED = -2,
    CONVERT_WAVELENGTH_TEXT_OPEN_FAILED = -3,
    CONVERT_PHYSIC_CSV_OPEN_FAILED = -4,
    CONVERT_WAVELENGTH_CSV_OPEN_FAILED = -5,
    CONVERT_BAD_MAGIC = -6,
    CONVERT_BAD_VERSION = -7,
    CONVERT_BAD_SENSOR_COUNT = -8,
    CONVERT_WRITE_FAILED = -9,
};

// Prints every failure on standard output; the result is for tests and diagnostics.
int convert_file();
