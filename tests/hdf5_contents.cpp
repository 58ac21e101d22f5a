#include "hdf5_contents.h"

#include <hdf5.h>

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

herr_t collect_attribute(hid_t location, const char* name, const H5A_info_t*, void* data) {
    auto& contents = *static_cast<Contents*>(data);
    const Id attribute(H5Aopen(location, name, H5P_DEFAULT), H5Aclose);
    const Id type(H5Aget_type(attribute.id), H5Tclose);
    const Id space(H5Aget_space(attribute.id), H5Sclose);
    Value value;
    value.type = type_name(type.id);
    read_shape(space.id, value);
    value.bytes.assign(element_count(value) * H5Tget_size(type.id), '\0');
    if (H5Aread(attribute.id, type.id, value.bytes.data()) < 0)
        contents.error += "cannot read attribute " + std::string(name);
    contents.attributes[name] = std::move(value);
    return 0;
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
    if (H5Pget_layout(creation.id) == H5D_CHUNKED) {
        hsize_t chunk[8] = {};
        const int rank = H5Pget_chunk(creation.id, 8, chunk);
        contents.chunks[name].assign(chunk, chunk + std::max(rank, 0));
    }
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
    hsize_t at = 0;
    H5Aiterate2(file.id, H5_INDEX_NAME, H5_ITER_INC, &at, collect_attribute, &contents);
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
        {"format", text_value("measconv-hdf5 1")},
        {"start_time", int32_value(start)},
        {"valid_wavelength_min", int32_value(1500000)},
        {"valid_wavelength_max", int32_value(1650000)},
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
    Value serials{"string31 nullpad", {sensors}, {sensors}, {}};
    for (std::size_t i = 0; i < sensors; ++i) {
        ids.bytes += data_file[104 + 32 * i];
        std::string serial = text_field(data_file, 104 + 32 * i + 1, 31);
        serials.bytes += serial.append(31 - serial.size(), '\0');
    }
    c.datasets = {{"time_offset", offsets},    {"counter", counters},      {"time", times},
                  {"wavelength", wavelengths}, {"physical_value", values}, {"sensor_id", ids},
                  {"sensor_serial", serials}};
    return c;
}

std::string describe(const Contents& contents) {
    std::string text = contents.error.empty() ? "" : "error: " + contents.error + "\n";
    describe_values(contents.attributes, "attribute", text);
    describe_values(contents.datasets, "dataset", text);
    return text;
}

std::string first_difference(const Contents& actual, const Contents& expected) {
    if (actual.error != expected.error) return "error: '" + actual.error + "' instead of '" + expected.error + "'";
    for (const auto kind : {&Contents::attributes, &Contents::datasets}) {
        const auto& a = actual.*kind;
        const auto& e = expected.*kind;
        for (const auto& [name, value] : e) {
            const auto found = a.find(name);
            if (found == a.end()) return name + " is missing";
            const Value& got = found->second;
            if (got.type != value.type || got.dims != value.dims || got.max_dims != value.max_dims)
                return name + ": " + got.type + " " + shape_text(got) + " instead of " + value.type + " " +
                       shape_text(value);
            if (got.bytes != value.bytes) {
                const auto mismatch = std::mismatch(got.bytes.begin(), got.bytes.end(), value.bytes.begin());
                return name + ": bytes differ from byte " + std::to_string(mismatch.first - got.bytes.begin());
            }
        }
        for (const auto& [name, value] : a)
            if (e.count(name) == 0) return name + " is not expected";
    }
    return {};
}

}  // namespace h5test
