// What an .h5 file written by measconv holds, read back with the HDF5 library; and what it
// must hold, worked out from the bytes of the data file alone (this decoding is the tests' own,
// written from the data file layout, not the converter's). The tests and the fuzz target
// compare the two.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace h5test {

inline constexpr std::uint64_t UNLIMITED = UINT64_MAX;

// An attribute or a dataset: its stored type, its shape and its values as stored, row after row.
struct Value {
    std::string type;                 // "int32le", "int64le", "uint8", "float32le", "string31 nullpad", ...
    std::vector<std::uint64_t> dims;  // empty for a scalar
    std::vector<std::uint64_t> max_dims;
    std::string bytes;

    bool operator==(const Value&) const = default;
};

struct Contents {
    std::string error;                                         // why the file could not be read; empty when it was
    std::map<std::string, Value> attributes;                   // of the root group
    std::map<std::string, Value> datasets;                     // in the root group
    std::map<std::string, std::vector<std::uint64_t>> chunks;  // chunk shape of each chunked dataset

    // Compared without the chunk shapes, which the layout leaves to the writer.
    bool operator==(const Contents& other) const {
        return error == other.error && attributes == other.attributes && datasets == other.datasets;
    }
};

// Every attribute of / and every object in / (objects other than datasets are an error).
Contents read_hdf5(const std::string& path);

// The contents measconv must write for a data file of these bytes, whose header passes its tests.
Contents expected_hdf5(const std::string& data_file);

// Everything, values in hexadecimal: a failed comparison of small files shows where they differ.
std::string describe(const Contents& contents);

// The first difference, for large files: empty when a and b are equal.
std::string first_difference(const Contents& actual, const Contents& expected);

// The little-endian bytes of a value, as the tests build expected datasets.
std::string le_bytes(std::uint64_t value, std::size_t size);

}  // namespace h5test
