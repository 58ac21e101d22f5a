#include "convert/hdf5_layout.h"

#include <hdf5_hl.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The NAME that makes netCDF readers take a dimension scale for a dimension alone, not for a
// variable (the value netCDF-4 itself writes, less the length it appends, which no reader needs).
constexpr char NOT_A_VARIABLE[] = "This is a netCDF dimension but not a netCDF variable.";

// The sensor serials are arrays of single characters: netCDF's char type, which every netCDF
// reader turns into strings of bytes. (A fixed-length string type of 31 bytes crashes netcdf-c;
// variable-length strings are decoded as UTF-8 by netCDF4 and h5netcdf, and fail on other bytes.)
constexpr char SERIAL_LENGTH_DIMENSION[] = "serial_length";

// Each byte one character: every client decodes any serial without an error, and gets the bytes
// back as they are by encoding with latin-1.
constexpr char SERIAL_ENCODING[] = "latin-1";

constexpr char RECORD_COORDINATES[] = "time";
constexpr char READING_COORDINATES[] = "time sensor_id sensor_serial";

struct TextAttribute {
    const char* name;
    std::string_view text;
};

constexpr unsigned CREATION_ORDER = H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED;

// No modification times in the object headers: one data file always gives the same bytes.
// Attributes are listed in the order they were written (netCDF readers show them that way).
PropertiesHandle untimed_creation(hid_t property_class) {
    PropertiesHandle creation(H5Pcreate(property_class));
    if (creation.valid() && (H5Pset_obj_track_times(creation.get(), false) < 0 ||
                             H5Pset_attr_creation_order(creation.get(), CREATION_ORDER) < 0))
        return {};
    return creation;
}

// A fixed-length byte string type of the given width (at least 1), padded with NULs.
TypeHandle byte_string_type(std::size_t width) {
    TypeHandle type(H5Tcopy(H5T_C_S1));
    if (!type.valid() || H5Tset_size(type.get(), std::max<std::size_t>(width, 1)) < 0 ||
        H5Tset_strpad(type.get(), H5T_STR_NULLPAD) < 0)
        return {};
    return type;
}

bool write_scalar_attribute(hid_t object, const char* name, hid_t type, const void* value) {
    const SpaceHandle scalar(H5Screate(H5S_SCALAR));
    if (!scalar.valid()) return false;
    AttributeHandle attribute(H5Acreate2(object, name, type, scalar.get(), H5P_DEFAULT, H5P_DEFAULT));
    return attribute.valid() && H5Awrite(attribute.get(), type, value) >= 0 && attribute.close();
}

bool write_text_attribute(hid_t object, const TextAttribute& attribute) {
    const TypeHandle type = byte_string_type(attribute.text.size());
    const char nul = '\0';
    return type.valid() && write_scalar_attribute(object, attribute.name, type.get(),
                                                  attribute.text.empty() ? &nul : attribute.text.data());
}

bool write_text_attributes(hid_t object, std::initializer_list<TextAttribute> attributes) {
    for (const TextAttribute& attribute : attributes)
        if (!write_text_attribute(object, attribute)) return false;
    return true;
}

bool write_int32_attribute(hid_t object, const char* name, std::int32_t value) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    return write_scalar_attribute(object, name, H5T_STD_I32LE, bytes);
}

bool write_int32_array_attribute(hid_t object, const char* name, const std::vector<std::int32_t>& values) {
    const hsize_t dims[1] = {values.size()};
    const SpaceHandle space(H5Screate_simple(1, dims, nullptr));
    if (!space.valid()) return false;
    AttributeHandle attribute(H5Acreate2(object, name, H5T_STD_I32LE, space.get(), H5P_DEFAULT, H5P_DEFAULT));
    return attribute.valid() && (values.empty() || H5Awrite(attribute.get(), H5T_NATIVE_INT32, values.data()) >= 0) &&
           attribute.close();
}

// --- Dimensions ---

struct Dimensions {
    DatasetHandle record, sensor, serial_length;
};

// A dimension: an HDF5 dimension scale that holds no values (none is ever written, so it takes
// no room in the file). The record dimension is unlimited and grows with the records.
DatasetHandle create_dimension(hid_t file, const char* name, hsize_t length, bool unlimited, hsize_t chunk_rows) {
    const hsize_t dims[1] = {length};
    const hsize_t max_dims[1] = {unlimited ? H5S_UNLIMITED : length};
    const SpaceHandle space(H5Screate_simple(1, dims, max_dims));
    const PropertiesHandle creation = untimed_creation(H5P_DATASET_CREATE);
    if (!space.valid() || !creation.valid() || (unlimited && H5Pset_chunk(creation.get(), 1, &chunk_rows) < 0))
        return {};
    DatasetHandle dimension(
        H5Dcreate2(file, name, H5T_IEEE_F32BE, space.get(), H5P_DEFAULT, creation.get(), H5P_DEFAULT));
    if (!dimension.valid() || H5DSset_scale(dimension.get(), NOT_A_VARIABLE) < 0) return {};
    return dimension;
}

bool create_dimensions(hid_t file, std::size_t sensors, std::size_t chunk_rows, Dimensions& out) {
    out.record = create_dimension(file, "record", 0, true, chunk_rows);
    out.sensor = create_dimension(file, "sensor", sensors, false, 0);
    out.serial_length = create_dimension(file, SERIAL_LENGTH_DIMENSION, header_field::SENSOR_SERIAL_WIDTH, false, 0);
    return out.record.valid() && out.sensor.valid() && out.serial_length.valid();
}

bool attach(hid_t dataset, std::initializer_list<hid_t> dimensions) {
    unsigned index = 0;
    for (hid_t dimension : dimensions)
        if (H5DSattach_scale(dataset, dimension, index++) < 0) return false;
    return true;
}

// --- The sensor table ---

// A dataset of fixed shape, written at once.
bool write_fixed_dataset(hid_t file, const char* name, hid_t type, std::initializer_list<hsize_t> shape,
                         const void* values, std::initializer_list<hid_t> dimensions,
                         std::initializer_list<TextAttribute> attributes) {
    const std::vector<hsize_t> dims(shape);
    const SpaceHandle space(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr));
    const PropertiesHandle creation = untimed_creation(H5P_DATASET_CREATE);
    if (!space.valid() || !creation.valid()) return false;
    DatasetHandle dataset(H5Dcreate2(file, name, type, space.get(), H5P_DEFAULT, creation.get(), H5P_DEFAULT));
    if (!dataset.valid()) return false;
    if (H5Sget_simple_extent_npoints(space.get()) > 0 &&
        H5Dwrite(dataset.get(), type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values) < 0)
        return false;
    return write_text_attributes(dataset.get(), attributes) && attach(dataset.get(), dimensions) && dataset.close();
}

bool write_sensor_datasets(hid_t file, const DataFileHeader& header, const Dimensions& dims) {
    const std::size_t count = header.sensors.size();
    constexpr std::size_t WIDTH = header_field::SENSOR_SERIAL_WIDTH;
    std::vector<std::uint8_t> ids(count);
    std::vector<char> serials(count * WIDTH, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        ids[i] = header.sensors[i].id;
        const std::string& serial = header.sensors[i].serial;
        std::memcpy(serials.data() + i * WIDTH, serial.data(), std::min(serial.size(), WIDTH));
    }
    const TypeHandle character = byte_string_type(1);
    return character.valid() &&
           write_fixed_dataset(file, "sensor_id", H5T_STD_U8LE, {count}, ids.data(), {dims.sensor.get()},
                               {{"long_name", "sensor id in the sensor table"}}) &&
           write_fixed_dataset(
               file, "sensor_serial", character.get(), {count, WIDTH}, serials.data(),
               {dims.sensor.get(), dims.serial_length.get()},
               {{"long_name", "sensor serial number, bytes as stored (NUL-padded)"}, {"_Encoding", SERIAL_ENCODING}});
}

// --- The records ---

struct RecordDatasetShape {
    const char* name;
    hid_t type;
    bool per_sensor;  // [record, sensor]; else [record]
};

// An empty, extendible record dataset [0] or [0, sensors], chunked along the records.
DatasetHandle create_record_dataset(hid_t file, const RecordDatasetShape& shape, std::size_t sensors,
                                    std::size_t chunk_rows, const Hdf5Compression& compression) {
    const int rank = shape.per_sensor ? 2 : 1;
    const hsize_t dims[2] = {0, sensors};
    const hsize_t max_dims[2] = {H5S_UNLIMITED, sensors};
    // A chunk has at least one column, also for a file without sensors ([n, 0]).
    const hsize_t chunk[2] = {chunk_rows, std::max<hsize_t>(sensors, 1)};
    const SpaceHandle space(H5Screate_simple(rank, dims, max_dims));
    const PropertiesHandle creation = untimed_creation(H5P_DATASET_CREATE);
    // The records are written in order and never revisited: HDF5's chunk cache would only copy
    // every chunk once more.
    const PropertiesHandle access(H5Pcreate(H5P_DATASET_ACCESS));
    if (!space.valid() || !creation.valid() || !access.valid() || H5Pset_chunk(creation.get(), rank, chunk) < 0 ||
        H5Pset_fill_time(creation.get(), H5D_FILL_TIME_NEVER) < 0 ||
        H5Pset_chunk_cache(access.get(), 0, 0, H5D_CHUNK_CACHE_W0_DEFAULT) < 0)
        return {};
    if (compression.deflate_level > 0 &&
        (H5Pset_shuffle(creation.get()) < 0 ||
         H5Pset_deflate(creation.get(), static_cast<unsigned>(compression.deflate_level)) < 0))
        return {};
    return DatasetHandle(
        H5Dcreate2(file, shape.name, shape.type, space.get(), H5P_DEFAULT, creation.get(), access.get()));
}

// Each record dataset's attributes, in the order of RecordDataset.
bool describe_record_dataset(hid_t dataset, RecordDataset which) {
    switch (which) {
    case RecordDataset::time_offset:
        return write_text_attributes(dataset, {{"long_name", "time offset of the record after start_time, as stored"},
                                               {"units", "s"},
                                               {"coordinates", RECORD_COORDINATES}});
    case RecordDataset::counter:
        return write_text_attributes(
            dataset, {{"long_name", "counter of the record, as stored"}, {"coordinates", RECORD_COORDINATES}});
    case RecordDataset::time:
        return write_text_attributes(
            dataset, {{"standard_name", "time"},
                      {"long_name", "time of the record: start_time plus time_offset, wrapping around in 32 bits"},
                      {"units", "seconds since 1970-01-01 00:00:00 UTC"},
                      {"calendar", "standard"}});
    case RecordDataset::wavelength:
        return write_text_attributes(
                   dataset,
                   {{"long_name", "wavelength of the reading, valid from 1500 nm to 1650 nm"}, {"units", "pm"}}) &&
               write_int32_attribute(dataset, "valid_min", MIN_VALID_WAVELENGTH) &&
               write_int32_attribute(dataset, "valid_max", MAX_VALID_WAVELENGTH) &&
               write_text_attributes(dataset, {{"coordinates", READING_COORDINATES}});
    case RecordDataset::physical_value:
        // The unit is set in the interrogator's sensor configuration; the data file does not say it.
        return write_text_attributes(dataset, {{"long_name",
                                                "physical value of the reading, in the unit set by the sensor "
                                                "configuration of the interrogator (not stored in the data file)"},
                                               {"coordinates", READING_COORDINATES}});
    }
    return false;
}

}  // namespace

PropertiesHandle file_creation_properties() {
    PropertiesHandle creation = untimed_creation(H5P_FILE_CREATE);
    if (creation.valid() && H5Pset_link_creation_order(creation.get(), CREATION_ORDER) < 0) return {};
    return creation;
}

bool write_root_attributes(hid_t file, const DataFileHeader& header) {
    const std::string version = std::to_string(header.version_major) + "." + std::to_string(header.version_minor);
    return write_text_attributes(file, {{"title", header.title},
                                        {"company", header.company},
                                        {"idn", header.idn},
                                        {"unit_serial", header.serial},
                                        {"version", version},
                                        {"format", HDF5_FORMAT_NAME}}) &&
           write_int32_attribute(file, "start_time", header.start_time) &&
           write_int32_attribute(file, "valid_wavelength_min", MIN_VALID_WAVELENGTH) &&
           write_int32_attribute(file, "valid_wavelength_max", MAX_VALID_WAVELENGTH) &&
           write_text_attributes(file, {{"Conventions", "CF-1.8"}});
}

bool write_selection_attributes(hid_t file, const std::vector<SelectionAttribute>& attributes) {
    for (const SelectionAttribute& attribute : attributes) {
        const char* name = attribute.name.c_str();
        const bool written = !attribute.text.empty() ? write_text_attribute(file, {name, attribute.text})
                             : attribute.scalar      ? write_int32_attribute(file, name, attribute.values.at(0))
                                                     : write_int32_array_attribute(file, name, attribute.values);
        if (!written) return false;
    }
    return true;
}

bool create_datasets(hid_t file, const DataFileHeader& header, std::size_t chunk_rows,
                     const Hdf5Compression& compression, RecordDatasets& out) {
    const std::size_t sensors = header.sensors.size();
    Dimensions dims;
    if (!create_dimensions(file, sensors, chunk_rows, dims)) return false;
    // Stored little-endian, as the data file holds them.
    const RecordDatasetShape shapes[RECORD_DATASET_COUNT] = {
        {"time_offset", H5T_STD_I32LE, false}, {"counter", H5T_STD_I32LE, false},        {"time", H5T_STD_I64LE, false},
        {"wavelength", H5T_STD_I32LE, true},   {"physical_value", H5T_IEEE_F32LE, true},
    };
    for (std::size_t i = 0; i < RECORD_DATASET_COUNT; ++i) {
        DatasetHandle dataset = create_record_dataset(file, shapes[i], sensors, chunk_rows, compression);
        if (!dataset.valid() || !describe_record_dataset(dataset.get(), static_cast<RecordDataset>(i))) return false;
        const bool attached = shapes[i].per_sensor ? attach(dataset.get(), {dims.record.get(), dims.sensor.get()})
                                                  : attach(dataset.get(), {dims.record.get()});
        if (!attached) return false;
        out.datasets[i] = std::move(dataset);
    }
    out.record_dimension = std::move(dims.record);
    return write_sensor_datasets(file, header, dims) && dims.sensor.close() && dims.serial_length.close();
}
