// What an .h5 file written by measconv holds, read back with the HDF5 library; and what it
// must hold, worked out from the bytes of the data file alone (this decoding is the tests' own,
// written from the data file layout, not the converter's). The tests and the fuzz target
// compare the two.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
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

// How a test failure shows a value: its type, shape and bytes in hexadecimal.
void PrintTo(const Value& value, std::ostream* out);

using Values = std::map<std::string, Value>;

// How a dataset's chunks are stored: their shape and the filters they pass through.
struct Storage {
    std::vector<std::uint64_t> chunk;  // empty for a dataset that is not chunked
    std::vector<std::string> filters;  // "shuffle", "deflate 1", ... in pipeline order
};

struct Contents {
    std::string error;                                 // why the file could not be read; empty when it was
    Values attributes;                                 // of the root group
    Values datasets;                                   // in the root group
    std::map<std::string, Values> dataset_attributes;  // of each dataset, but the dimension scales' references
    // The dimension scale attached to each dimension of a dataset, by name ("" for none).
    std::map<std::string, std::vector<std::string>> dimensions;
    std::map<std::string, Storage> storage;  // of every dataset

    // Compared without the storage, which the layout leaves to the writer.
    bool operator==(const Contents& other) const {
        return error == other.error && attributes == other.attributes && datasets == other.datasets &&
               dataset_attributes == other.dataset_attributes && dimensions == other.dimensions;
    }
};

// Every attribute of / and every object in / (objects other than datasets are an error).
Contents read_hdf5(const std::string& path);

// The contents measconv must write for a data file of these bytes, whose header passes its tests.
Contents expected_hdf5(const std::string& data_file);

// The attributes every file's datasets carry, as expected_hdf5 has them (they do not depend on
// the data file).
const std::map<std::string, Values>& expected_dataset_attributes();

// Everything, values in hexadecimal: a failed comparison of small files shows where they differ.
std::string describe(const Contents& contents);

// The first difference, for large files: empty when a and b are equal.
std::string first_difference(const Contents& actual, const Contents& expected);

// The little-endian bytes of a value, as the tests build expected datasets.
std::string le_bytes(std::uint64_t value, std::size_t size);

}  // namespace h5test
