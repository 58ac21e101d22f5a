// What `meas convert` tells of each input: its findings (the conversion's problems, a file too
// short for a header, a selection that kept no record) as messages on standard error worded
// for a person, a line saying what was converted, or one JSON object per input on standard
// output.
#pragma once

#include <string>
#include <vector>

#include "convert/convert.h"

struct Finding {
    std::string kind;     // "write_failed", "short_file", ... (the JSON's "kind")
    std::string subject;  // the file (or sensor) it is about
    std::string message;  // for a person, without the program's name
};

// Everything wrong with one input's conversion; empty when it converted completely.
// record_selection: the request selects records (a record that nothing matched is a finding).
std::vector<Finding> findings_of(const ConvertRequest& request, const ConvertResult& result);

// "converted 'x.dat' (4 sensors, 1200 records) into 'x.h5'".
std::string converted_line(const ConvertRequest& request, const ConvertResult& result);

// The input's JSON object on one line (ASCII, newline included).
std::string json_line(const ConvertRequest& request, const ConvertResult& result, const std::vector<Finding>& findings);

// The reason a file cannot be created at path (its directory missing, a directory, the input).
std::string cannot_create_reason(const std::string& path, const std::string& input);
