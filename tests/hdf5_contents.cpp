#include "hdf5_contents.h"

#include <hdf5.h>
#include <hdf5_hl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace h5test {

namespace {

// --- Reading a file ---

// Closes an HDF5 identifier when it goes.
struct Id {
    hid_t id;
    herr_t (*close)(hid_t);
    Id(hid_t i, herr_t (*c)(hid_t)) : id(i), close(c) {}
    Id(const Id&) = delete;
    Id& operator=(const Id&) = delete;
    ~Id() {
        if (id >= 0) close(id);
    }
};

std::string type_name(hid_t type) {
    const std::pair<hid_t, const char*> numbers[] = {
        {H5T_STD_I32LE, "int32le"},    {H5T_STD_I64LE, "int64le"}, {H5T_STD_U8LE, "uint8"},
        {H5T_IEEE_F32LE, "float32le"}, {H5T_STD_I32BE, "int32be"}, {H5T_IEEE_F32BE, "float32be"},
    };
    for (const auto& [known, name] : numbers)
        if (H5Tequal(type, known) > 0) return name;
    if (H5Tget_class(type) == H5T_STRING) {
        if (H5Tis_variable_str(type) > 0) return "vlen string";
        const H5T_str_t pad = H5Tget_strpad(type);
        return "string" + std::to_string(H5Tget_size(type)) +
               (pad == H5T_STR_NULLPAD    ? " nullpad"
                : pad == H5T_STR_NULLTERM ? " nullterm"
                                          : " spacepad") +
               (H5Tget_cset(type) == H5T_CSET_ASCII ? "" : " utf8");
    }
    return "other type of class " + std::to_string(H5Tget_class(type));
}

void read_shape(hid_t space, Value& value) {
    const int rank = H5Sget_simple_extent_ndims(space);
    value.dims.assign(static_cast<std::size_t>(std::max(rank, 0)), 0);
    value.max_dims.assign(value.dims.size(), 0);
    std::vector<hsize_t> dims(value.dims.size()), max_dims(value.dims.size());
    if (rank > 0) H5Sget_simple_extent_dims(space, dims.data(), max_dims.data());
    for (std::size_t i = 0; i < dims.size(); ++i) {
        value.dims[i] = dims[i];
        value.max_dims[i] = max_dims[i] == H5S_UNLIMITED ? UNLIMITED : max_dims[i];
    }
}

std::size_t element_count(const Value& value) {
    std::size_t count = 1;
    for (std::uint64_t d : value.dims) count *= static_cast<std::size_t>(d);
    return count;
}

struct AttributeTarget {
    Values* values;
    std::string* error;
};

// The references of dimension scales (REFERENCE_LIST, DIMENSION_LIST) are addresses in the file;
// what they say is read as Contents::dimensions instead.
bool is_scale_reference(const char* name) {
    return std::strcmp(name, "REFERENCE_LIST") == 0 || std::strcmp(name, "DIMENSION_LIST") == 0;
}

herr_t collect_attribute(hid_t location, const char* name, const H5A_info_t*, void* data) {
    const auto& target = *static_cast<AttributeTarget*>(data);
    if (is_scale_reference(name)) return 0;
    const Id attribute(H5Aopen(location, name, H5P_DEFAULT), H5Aclose);
    const Id type(H5Aget_type(attribute.id), H5Tclose);
    const Id space(H5Aget_space(attribute.id), H5Sclose);
    Value value;
    value.type = type_name(type.id);
    read_shape(space.id, value);
    value.bytes.assign(element_count(value) * H5Tget_size(type.id), '\0');
    if (H5Aread(attribute.id, type.id, value.bytes.data()) < 0)
        *target.error += "cannot read attribute " + std::string(name) + "; ";
    (*target.values)[name] = std::move(value);
    return 0;
}

void read_attributes(hid_t object, Values& values, std::string& error) {
    AttributeTarget target{&values, &error};
    hsize_t at = 0;
    if (H5Aiterate2(object, H5_INDEX_NAME, H5_ITER_INC, &at, collect_attribute, &target) < 0)
        error += "cannot list attributes; ";
}

herr_t collect_scale_name(hid_t, unsigned, hid_t scale, void* data) {
    char name[256] = {};
    H5Iget_name(scale, name, sizeof name);
    *static_cast<std::string*>(data) = name[0] == '/' ? name + 1 : name;
    return 1;  // one scale per dimension is read
}

std::vector<std::string> attached_scales(hid_t dataset, int rank) {
    std::vector<std::string> names(static_cast<std::size_t>(std::max(rank, 0)));
    for (unsigned i = 0; i < names.size(); ++i)
        if (H5DSget_num_scales(dataset, i) > 0)
            H5DSiterate_scales(dataset, i, nullptr, collect_scale_name, &names[i]);
    return names;
}

Storage read_storage(hid_t creation) {
    Storage storage;
    if (H5Pget_layout(creation) == H5D_CHUNKED) {
        hsize_t chunk[8] = {};
        const int rank = H5Pget_chunk(creation, 8, chunk);
        storage.chunk.assign(chunk, chunk + std::max(rank, 0));
    }
    for (int i = 0; i < H5Pget_nfilters(creation); ++i) {
        unsigned flags = 0, config = 0;
        std::size_t count = 4;
        unsigned values[4] = {};
        char name[64] = {};
        const H5Z_filter_t filter = H5Pget_filter2(creation, static_cast<unsigned>(i), &flags, &count, values,
                                                   sizeof name, name, &config);
        if (filter == H5Z_FILTER_SHUFFLE) storage.filters.push_back("shuffle");
        else if (filter == H5Z_FILTER_DEFLATE) storage.filters.push_back("deflate " + std::to_string(values[0]));
        else storage.filters.push_back("filter " + std::to_string(filter));
    }
    return storage;
}

void read_dataset(hid_t file, const std::string& name, Contents& contents) {
    const Id dataset(H5Dopen2(file, name.c_str(), H5P_DEFAULT), H5Dclose);
    if (dataset.id < 0) {
        contents.error += "not a dataset: " + name + "; ";
        return;
    }
    const Id type(H5Dget_type(dataset.id), H5Tclose);
    const Id space(H5Dget_space(dataset.id), H5Sclose);
    const Id creation(H5Dget_create_plist(dataset.id), H5Pclose);
    Value value;
    value.type = type_name(type.id);
    read_shape(space.id, value);
    value.bytes.assign(element_count(value) * H5Tget_size(type.id), '\0');
    // Read in the stored type itself: nothing is converted, the bytes are what the file holds.
    if (!value.bytes.empty() && H5Dread(dataset.id, type.id, H5S_ALL, H5S_ALL, H5P_DEFAULT, value.bytes.data()) < 0)
        contents.error += "cannot read dataset " + name + "; ";
    contents.storage[name] = read_storage(creation.id);
    read_attributes(dataset.id, contents.dataset_attributes[name], contents.error);
    contents.dimensions[name] = attached_scales(dataset.id, static_cast<int>(value.dims.size()));
    contents.datasets[name] = std::move(value);
}

// --- Decoding a data file ---

std::uint32_t word(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

std::string text_field(const std::string& bytes, std::size_t at, std::size_t width) {
    const std::string field = bytes.substr(at, width);
    return field.substr(0, field.find('\0'));
}

Value text_value(const std::string& text) {
    return {"string" + std::to_string(std::max<std::size_t>(text.size(), 1)) + " nullpad",
            {},
            {},
            text.empty() ? std::string(1, '\0') : text};
}

Value int32_value(std::uint32_t value) { return {"int32le", {}, {}, le_bytes(value, 4)}; }

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

std::string shape_text(const Value& value) {
    std::string text = "[";
    for (std::size_t i = 0; i < value.dims.size(); ++i) {
        text += (i ? ", " : "") + std::to_string(value.dims[i]) + "/";
        text += value.max_dims[i] == UNLIMITED ? "unlimited" : std::to_string(value.max_dims[i]);
    }
    return text + "]";
}

void describe_values(const std::map<std::string, Value>& values, const char* kind, std::string& text) {
    for (const auto& [name, value] : values) {
        text += std::string(kind) + " " + name + ": " + value.type + " " + shape_text(value) + "\n";
        const std::size_t count = element_count(value);
        const std::size_t size = count == 0 ? 0 : value.bytes.size() / count;
        for (std::size_t i = 0; i < count && size > 0; ++i)
            text += "  " + hex(value.bytes.substr(i * size, size)) + "\n";
    }
}

}  // namespace

std::string le_bytes(std::uint64_t value, std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

Contents read_hdf5(const std::string& path) {
    Contents contents;
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    const Id file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    if (file.id < 0) {
        contents.error = "cannot open " + path;
        return contents;
    }
    read_attributes(file.id, contents.attributes, contents.error);
    H5G_info_t group{};
    if (H5Gget_info(file.id, &group) < 0) contents.error += "cannot list the root group; ";
    for (hsize_t i = 0; i < group.nlinks; ++i) {
        char name[256] = {};
        H5Lget_name_by_idx(file.id, ".", H5_INDEX_NAME, H5_ITER_INC, i, name, sizeof name, H5P_DEFAULT);
        read_dataset(file.id, name, contents);
    }
    return contents;
}

Contents expected_hdf5(const std::string& data_file) {
    constexpr std::size_t HEADER = 23344;
    const std::size_t sensors = static_cast<std::size_t>(static_cast<std::int8_t>(data_file[97]));
    const std::size_t record = 8 + 8 * sensors;
    const std::size_t records = (data_file.size() - HEADER) / record;
    const std::uint32_t start = word(data_file, 23336);

    Contents c;
    c.attributes = {
        {"title", text_value(text_field(data_file, 5, 30))},
        {"company", text_value(text_field(data_file, 37, 20))},
        {"idn", text_value(text_field(data_file, 57, 20))},
        {"unit_serial", text_value(text_field(data_file, 77, 20))},
        {"version", text_value("1.3")},
        {"format", text_value("measconv-hdf5 2")},
        {"start_time", int32_value(start)},
        {"valid_wavelength_min", int32_value(1500000)},
        {"valid_wavelength_max", int32_value(1650000)},
        {"Conventions", text_value("CF-1.8")},
    };
    Value offsets{"int32le", {records}, {UNLIMITED}, {}};
    Value counters = offsets;
    Value times{"int64le", {records}, {UNLIMITED}, {}};
    Value wavelengths{"int32le", {records, sensors}, {UNLIMITED, sensors}, {}};
    Value values{"float32le", {records, sensors}, {UNLIMITED, sensors}, {}};
    for (std::size_t r = 0; r < records; ++r) {
        const std::size_t at = HEADER + r * record;
        offsets.bytes += data_file.substr(at, 4);
        counters.bytes += data_file.substr(at + 4, 4);
        // The record's instant: start time plus offset, wrapping around in 32 bits.
        const auto instant = static_cast<std::int32_t>(start + word(data_file, at));
        times.bytes += le_bytes(static_cast<std::uint64_t>(static_cast<std::int64_t>(instant)), 8);
        for (std::size_t i = 0; i < sensors; ++i) {
            values.bytes += data_file.substr(at + 8 + 8 * i, 4);
            wavelengths.bytes += data_file.substr(at + 12 + 8 * i, 4);
        }
    }
    Value ids{"uint8", {sensors}, {sensors}, {}};
    // Arrays of single characters: each serial NUL-padded to 31.
    Value serials{"string1 nullpad", {sensors, 31}, {sensors, 31}, {}};
    for (std::size_t i = 0; i < sensors; ++i) {
        ids.bytes += data_file[104 + 32 * i];
        std::string serial = text_field(data_file, 104 + 32 * i + 1, 31);
        serials.bytes += serial.append(31 - serial.size(), '\0');
    }
    // The dimensions hold no values: reading them gives zeros.
    const Value record_dimension{"float32be", {records}, {UNLIMITED}, std::string(4 * records, '\0')};
    const Value sensor_dimension{"float32be", {sensors}, {sensors}, std::string(4 * sensors, '\0')};
    const Value length_dimension{"float32be", {31}, {31}, std::string(4 * 31, '\0')};
    c.datasets = {{"time_offset", offsets},         {"counter", counters},
                  {"time", times},                  {"wavelength", wavelengths},
                  {"physical_value", values},       {"sensor_id", ids},
                  {"sensor_serial", serials},       {"record", record_dimension},
                  {"sensor", sensor_dimension},     {"serial_length", length_dimension}};
    c.dataset_attributes = expected_dataset_attributes();
    const std::vector<std::string> per_record = {"record"}, per_reading = {"record", "sensor"};
    c.dimensions = {{"time_offset", per_record},     {"counter", per_record},
                    {"time", per_record},            {"wavelength", per_reading},
                    {"physical_value", per_reading}, {"sensor_id", {"sensor"}},
                    {"sensor_serial", {"sensor", "serial_length"}},
                    // Dimension scales have none of their own.
                    {"record", {""}},                {"sensor", {""}},
                    {"serial_length", {""}}};
    return c;
}

const std::map<std::string, Values>& expected_dataset_attributes() {
    // How HDF5's dimension scales mark a dataset as one: CLASS, and a NAME that tells netCDF
    // readers it is a dimension and not a variable.
    const Value scale_class{"string16 nullterm", {}, {}, std::string("DIMENSION_SCALE", 16)};
    const std::string not_a_variable = "This is a netCDF dimension but not a netCDF variable.";
    const Value scale_name{"string54 nullterm", {}, {}, std::string(not_a_variable.c_str(), 54)};
    const Values dimension = {{"CLASS", scale_class}, {"NAME", scale_name}};
    static const std::map<std::string, Values> attributes = {
        {"record", dimension},
        {"sensor", dimension},
        {"serial_length", dimension},
        {"time_offset",
         {{"long_name", text_value("time offset of the record after start_time, as stored")},
          {"units", text_value("s")},
          {"coordinates", text_value("time")}}},
        {"counter", {{"long_name", text_value("counter of the record, as stored")}, {"coordinates", text_value("time")}}},
        {"time",
         {{"standard_name", text_value("time")},
          {"long_name", text_value("time of the record: start_time plus time_offset, wrapping around in 32 bits")},
          {"units", text_value("seconds since 1970-01-01 00:00:00 UTC")},
          {"calendar", text_value("standard")}}},
        {"wavelength",
         {{"long_name", text_value("wavelength of the reading, valid from 1500 nm to 1650 nm")},
          {"units", text_value("pm")},
          {"valid_min", int32_value(1500000)},
          {"valid_max", int32_value(1650000)},
          {"coordinates", text_value("time sensor_id sensor_serial")}}},
        {"physical_value",
         {{"long_name", text_value("physical value of the reading, in the unit set by the sensor configuration "
                                   "of the interrogator (not stored in the data file)")},
          {"coordinates", text_value("time sensor_id sensor_serial")}}},
        {"sensor_id", {{"long_name", text_value("sensor id in the sensor table")}}},
        {"sensor_serial",
         {{"long_name", text_value("sensor serial number, bytes as stored (NUL-padded)")},
          {"_Encoding", text_value("latin-1")}}},
    };
    return attributes;
}

void PrintTo(const Value& value, std::ostream* out) {
    *out << value.type << " " << shape_text(value) << " " << hex(value.bytes);
}

std::string describe(const Contents& contents) {
    std::string text = contents.error.empty() ? "" : "error: " + contents.error + "\n";
    describe_values(contents.attributes, "attribute", text);
    describe_values(contents.datasets, "dataset", text);
    for (const auto& [dataset, attributes] : contents.dataset_attributes)
        describe_values(attributes, ("attribute of " + dataset).c_str(), text);
    for (const auto& [dataset, scales] : contents.dimensions) {
        text += "dimensions of " + dataset + ":";
        for (const std::string& scale : scales) text += " '" + scale + "'";
        text += "\n";
    }
    return text;
}

namespace {

std::string first_value_difference(const Values& a, const Values& e, const std::string& where) {
    for (const auto& [name, value] : e) {
        const auto found = a.find(name);
        if (found == a.end()) return where + name + " is missing";
        const Value& got = found->second;
        if (got.type != value.type || got.dims != value.dims || got.max_dims != value.max_dims)
            return where + name + ": " + got.type + " " + shape_text(got) + " instead of " + value.type + " " +
                   shape_text(value);
        if (got.bytes != value.bytes) {
            const auto mismatch = std::mismatch(got.bytes.begin(), got.bytes.end(), value.bytes.begin());
            return where + name + ": bytes differ from byte " + std::to_string(mismatch.first - got.bytes.begin());
        }
    }
    for (const auto& [name, value] : a)
        if (e.count(name) == 0) return where + name + " is not expected";
    return {};
}

}  // namespace

std::string first_difference(const Contents& actual, const Contents& expected) {
    if (actual.error != expected.error) return "error: '" + actual.error + "' instead of '" + expected.error + "'";
    std::string difference = first_value_difference(actual.attributes, expected.attributes, "");
    if (difference.empty()) difference = first_value_difference(actual.datasets, expected.datasets, "");
    for (const auto& [dataset, attributes] : expected.dataset_attributes) {
        if (!difference.empty()) return difference;
        const auto found = actual.dataset_attributes.find(dataset);
        difference = first_value_difference(found == actual.dataset_attributes.end() ? Values{} : found->second,
                                            attributes, "attribute of " + dataset + ": ");
    }
    if (difference.empty() && actual.dimensions != expected.dimensions) difference = "the dimensions differ";
    return difference;
}

}  // namespace h5test
