#include "convert/convert_status.h"

#include "datafile/data_file_messages.h"

std::string problem_message(const Problem& problem) {
    switch (problem.status) {
    case ConvertStatus::ok: return {};
    case ConvertStatus::input_open_failed: return input_open_message(problem.subject);
    case ConvertStatus::physic_text_open_failed:
    case ConvertStatus::wavelength_text_open_failed:
    case ConvertStatus::physic_csv_open_failed:
    case ConvertStatus::wavelength_csv_open_failed:
    case ConvertStatus::sensor_file_open_failed:
    case ConvertStatus::hdf5_open_failed: return "Can not open '" + problem.subject + "' to export.\n";
    case ConvertStatus::bad_magic: return header_failure_message(HeaderCheck::bad_magic, problem.subject);
    case ConvertStatus::bad_version: return header_failure_message(HeaderCheck::bad_version, problem.subject);
    case ConvertStatus::bad_sensor_count: return header_failure_message(HeaderCheck::bad_sensor_count, problem.subject);
    case ConvertStatus::write_failed: return "Can not write '" + problem.subject + "'.\n";
    case ConvertStatus::read_failed: return "Can not read '" + problem.subject + "'.\n";
    case ConvertStatus::sensor_not_found: return "No sensor '" + problem.subject + "' to select.\n";
    case ConvertStatus::out_of_memory: return "Not enough memory to convert '" + problem.subject + "'.\n";
    case ConvertStatus::interrupted: return {};  // told on standard error by the program, not here
    }
    return {};
}

Problem header_check_problem(HeaderCheck check, const unsigned char* header_bytes) {
    switch (check) {
    case HeaderCheck::bad_magic: return {ConvertStatus::bad_magic, header_failure_subject(check, header_bytes)};
    case HeaderCheck::bad_version: return {ConvertStatus::bad_version, header_failure_subject(check, header_bytes)};
    case HeaderCheck::bad_sensor_count:
        return {ConvertStatus::bad_sensor_count, header_failure_subject(check, header_bytes)};
    case HeaderCheck::ok: break;
    }
    return {};
}
