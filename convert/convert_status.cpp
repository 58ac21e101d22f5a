#include "convert/convert_status.h"

#include "convert/data_file.h"

std::string problem_message(const Problem& problem) {
    switch (problem.status) {
    case ConvertStatus::ok: return {};
    case ConvertStatus::input_open_failed: return "Can not open '" + problem.subject + "' to read data.\n";
    case ConvertStatus::physic_text_open_failed:
    case ConvertStatus::wavelength_text_open_failed:
    case ConvertStatus::physic_csv_open_failed:
    case ConvertStatus::wavelength_csv_open_failed:
    case ConvertStatus::sensor_file_open_failed:
    case ConvertStatus::hdf5_open_failed: return "Can not open '" + problem.subject + "' to export.\n";
    case ConvertStatus::bad_magic: return "Input file format error. [SART]:[" + problem.subject + "]\n";
    case ConvertStatus::bad_version:
        return "Input file Version  format error, need version: " + std::to_string(REQUIRED_VERSION_MAJOR) + "." +
               std::to_string(REQUIRED_VERSION_MINOR) + "\n";
    case ConvertStatus::bad_sensor_count: return "Input file sensor count error: " + problem.subject + "\n";
    case ConvertStatus::write_failed: return "Can not write '" + problem.subject + "'.\n";
    case ConvertStatus::read_failed: return "Can not read '" + problem.subject + "'.\n";
    case ConvertStatus::sensor_not_found: return "No sensor '" + problem.subject + "' to select.\n";
    case ConvertStatus::interrupted: return {};  // told on standard error by the program, not here
    }
    return {};
}

Problem header_check_problem(HeaderCheck check, const unsigned char* header_bytes) {
    switch (check) {
    case HeaderCheck::bad_magic: return {ConvertStatus::bad_magic, header_leading_text(header_bytes)};
    case HeaderCheck::bad_version: return {ConvertStatus::bad_version, {}};
    case HeaderCheck::bad_sensor_count:
        return {ConvertStatus::bad_sensor_count,
                std::to_string(static_cast<std::int8_t>(header_bytes[header_field::SENSOR_COUNT]))};
    case HeaderCheck::ok: break;
    }
    return {};
}
