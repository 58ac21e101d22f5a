#include "convert/hdf5_output.h"

#include <hdf5.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "convert/hdf5_library_lock.h"
#include "convert/native_files.h"
#include "convert/output_file.h"

namespace {

// An HDF5 identifier, closed by Close when the handle goes.
template <herr_t (*Close)(hid_t)>
class Handle {
public:
    Handle() = default;
    explicit Handle(hid_t id) : id_(id) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            close();
            id_ = std::exchange(other.id_, H5I_INVALID_HID);
        }
        return *this;
    }
    ~Handle() { close(); }

    hid_t get() const { return id_; }
    bool valid() const { return id_ >= 0; }

    // False when closing failed: for a dataset or a file, its last bytes did not reach the file.
    bool close() { return id_ < 0 || Close(std::exchange(id_, H5I_INVALID_HID)) >= 0; }

    // Lets go of the identifier without closing it.
    void abandon() { id_ = H5I_INVALID_HID; }

private:
    hid_t id_ = H5I_INVALID_HID;
};

using FileHandle = Handle<H5Fclose>;
using DatasetHandle = Handle<H5Dclose>;
using SpaceHandle = Handle<H5Sclose>;
using TypeHandle = Handle<H5Tclose>;
using PropertiesHandle = Handle<H5Pclose>;
using AttributeHandle = Handle<H5Aclose>;

// The 1-D record datasets take up to this many rows per chunk; the [n, s] datasets as many as
// fit in READING_CHUNK_BYTES (at least one). Whole chunks are buffered and written at once.
constexpr std::size_t RECORD_CHUNK_ROWS = 1 << 16;
constexpr std::size_t READING_CHUNK_BYTES = 1 << 20;

// HDF5 stores the last chunk whole, however few of its rows are used. Chunks of equal length
// that together just hold the records the input is expected to have waste nothing, so a small
// file gives a small .h5 file; more records than expected are written all the same. An input
// of unknown size (not a regular file) gets chunks of the largest length.
std::size_t chunk_rows_for(std::optional<std::uint64_t> expected_records, std::size_t max_rows) {
    if (!expected_records) return max_rows;
    if (*expected_records == 0) return 1;
    const std::uint64_t chunks = (*expected_records + max_rows - 1) / max_rows;
    return static_cast<std::size_t>((*expected_records + chunks - 1) / chunks);
}

// Whole records after the header of the input as it is now.
std::optional<std::uint64_t> expected_records(const std::string& input, std::size_t sensors) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(input, error)) return std::nullopt;
    const std::uintmax_t size = std::filesystem::file_size(input, error);
    if (error) return std::nullopt;
    return size < HEADER_SIZE ? 0 : (size - HEADER_SIZE) / record_size(sensors);
}

// A reading is 4 bytes; its physical value lies at offset 0, its wavelength at 4.
constexpr std::size_t READING_VALUE_BYTES = 4;
constexpr std::size_t PHYSIC_VALUE_AT = 0;
constexpr std::size_t WAVELENGTH_AT = 4;

// One record dataset and its chunk being filled.
struct Column {
    DatasetHandle dataset;
    hid_t memory_type = H5I_INVALID_HID;  // of the buffered values
    int rank = 1;                         // 1: [n]; 2: [n, width]
    std::size_t width = 1;                // values per row: 1, or the sensor count
    std::size_t value_size = 0;
    std::unique_ptr<unsigned char[]> buffer;  // chunk_rows rows

    unsigned char* row(std::size_t index) { return buffer.get() + index * width * value_size; }
};

// Columns that share their chunk length, so their rows are buffered and written together.
struct ColumnGroup {
    std::size_t chunk_rows = 0;
    std::size_t buffered = 0;  // rows in the buffers
    hsize_t written = 0;       // rows in the file
};

}  // namespace

struct Hdf5Writer {
    std::string path;       // where the complete file goes
    std::string temporary;  // where it is written until then
    std::int32_t start_time = 0;
    std::size_t sensors = 0;
    bool failed = false;
    bool finished = false;

    FileHandle file;
    ColumnGroup records;  // time_offset, counter, time
    Column time_offset, counter, time;
    ColumnGroup readings;  // wavelength, physical_value
    Column wavelength, physical_value;
};

namespace {

// --- Creating the file ---

// The record datasets are written in order and never revisited: HDF5's chunk cache would only
// copy every chunk once more.
PropertiesHandle uncached_access() {
    PropertiesHandle access(H5Pcreate(H5P_DATASET_ACCESS));
    if (access.valid() && H5Pset_chunk_cache(access.get(), 0, 0, H5D_CHUNK_CACHE_W0_DEFAULT) < 0) return {};
    return access;
}

// No modification times in the object headers: one data file always gives the same bytes.
PropertiesHandle untimed_creation(hid_t property_class) {
    PropertiesHandle creation(H5Pcreate(property_class));
    if (creation.valid() && H5Pset_obj_track_times(creation.get(), false) < 0) return {};
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

bool write_text_attribute(hid_t file, const char* name, const std::string& text) {
    const TypeHandle type = byte_string_type(text.size());
    const SpaceHandle scalar(H5Screate(H5S_SCALAR));
    if (!type.valid() || !scalar.valid()) return false;
    AttributeHandle attribute(H5Acreate2(file, name, type.get(), scalar.get(), H5P_DEFAULT, H5P_DEFAULT));
    const char nul = '\0';
    return attribute.valid() && H5Awrite(attribute.get(), type.get(), text.empty() ? &nul : text.data()) >= 0 &&
           attribute.close();
}

bool write_int32_attribute(hid_t file, const char* name, std::int32_t value) {
    const SpaceHandle scalar(H5Screate(H5S_SCALAR));
    if (!scalar.valid()) return false;
    AttributeHandle attribute(H5Acreate2(file, name, H5T_STD_I32LE, scalar.get(), H5P_DEFAULT, H5P_DEFAULT));
    return attribute.valid() && H5Awrite(attribute.get(), H5T_NATIVE_INT32, &value) >= 0 && attribute.close();
}

bool write_root_attributes(hid_t file, const DataFileHeader& header) {
    const std::string version = std::to_string(header.version_major) + "." + std::to_string(header.version_minor);
    return write_text_attribute(file, "title", header.title) && write_text_attribute(file, "company", header.company) &&
           write_text_attribute(file, "idn", header.idn) && write_text_attribute(file, "unit_serial", header.serial) &&
           write_text_attribute(file, "version", version) && write_text_attribute(file, "format", HDF5_FORMAT_NAME) &&
           write_int32_attribute(file, "start_time", header.start_time) &&
           write_int32_attribute(file, "valid_wavelength_min", MIN_VALID_WAVELENGTH) &&
           write_int32_attribute(file, "valid_wavelength_max", MAX_VALID_WAVELENGTH);
}

bool write_int32_array_attribute(hid_t file, const char* name, const std::vector<std::int32_t>& values) {
    const hsize_t dims[1] = {values.size()};
    const SpaceHandle space(H5Screate_simple(1, dims, nullptr));
    if (!space.valid()) return false;
    AttributeHandle attribute(H5Acreate2(file, name, H5T_STD_I32LE, space.get(), H5P_DEFAULT, H5P_DEFAULT));
    return attribute.valid() && (values.empty() || H5Awrite(attribute.get(), H5T_NATIVE_INT32, values.data()) >= 0) &&
           attribute.close();
}

bool write_selection_attributes(hid_t file, const std::vector<SelectionAttribute>& attributes) {
    for (const SelectionAttribute& attribute : attributes) {
        const char* name = attribute.name.c_str();
        const bool written = !attribute.text.empty() ? write_text_attribute(file, name, attribute.text)
                             : attribute.scalar      ? write_int32_attribute(file, name, attribute.values.at(0))
                                                     : write_int32_array_attribute(file, name, attribute.values);
        if (!written) return false;
    }
    return true;
}

// A fixed dataset [count] written at once.
bool write_fixed_dataset(hid_t file, const char* name, hid_t type, std::size_t count, const void* values) {
    const hsize_t dims[1] = {count};
    const SpaceHandle space(H5Screate_simple(1, dims, nullptr));
    const PropertiesHandle creation = untimed_creation(H5P_DATASET_CREATE);
    if (!space.valid() || !creation.valid()) return false;
    DatasetHandle dataset(H5Dcreate2(file, name, type, space.get(), H5P_DEFAULT, creation.get(), H5P_DEFAULT));
    if (!dataset.valid()) return false;
    if (count > 0 && H5Dwrite(dataset.get(), type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values) < 0) return false;
    return dataset.close();
}

bool write_sensor_datasets(hid_t file, const DataFileHeader& header) {
    const std::size_t count = header.sensors.size();
    std::vector<std::uint8_t> ids(count);
    std::vector<char> serials(count * header_field::SENSOR_SERIAL_WIDTH, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        ids[i] = header.sensors[i].id;
        const std::string& serial = header.sensors[i].serial;
        std::memcpy(serials.data() + i * header_field::SENSOR_SERIAL_WIDTH, serial.data(), serial.size());
    }
    const TypeHandle serial_type = byte_string_type(header_field::SENSOR_SERIAL_WIDTH);
    return serial_type.valid() && write_fixed_dataset(file, "sensor_id", H5T_STD_U8LE, count, ids.data()) &&
           write_fixed_dataset(file, "sensor_serial", serial_type.get(), count, serials.data());
}

// An empty, extendible record dataset [0] or [0, width], chunked along the records.
bool create_column(hid_t file, const char* name, hid_t stored_type, hid_t memory_type, std::size_t width,
                   std::size_t chunk_rows, int rank, Column& column) {
    const hsize_t dims[2] = {0, width};
    const hsize_t max_dims[2] = {H5S_UNLIMITED, width};
    // A chunk has at least one column, also for a file without sensors ([n, 0]).
    const hsize_t chunk[2] = {chunk_rows, std::max<hsize_t>(width, 1)};
    const SpaceHandle space(H5Screate_simple(rank, dims, max_dims));
    const PropertiesHandle creation = untimed_creation(H5P_DATASET_CREATE);
    const PropertiesHandle access = uncached_access();
    if (!space.valid() || !creation.valid() || !access.valid() || H5Pset_chunk(creation.get(), rank, chunk) < 0 ||
        H5Pset_fill_time(creation.get(), H5D_FILL_TIME_NEVER) < 0)
        return false;
    column.dataset =
        DatasetHandle(H5Dcreate2(file, name, stored_type, space.get(), H5P_DEFAULT, creation.get(), access.get()));
    column.memory_type = memory_type;
    column.rank = rank;
    column.width = width;
    column.value_size = H5Tget_size(memory_type);
    column.buffer = std::make_unique_for_overwrite<unsigned char[]>(chunk_rows * width * column.value_size);
    return column.dataset.valid();
}

bool create_columns(Hdf5Writer& writer, std::optional<std::uint64_t> expected) {
    const hid_t file = writer.file.get();
    const std::size_t s = writer.sensors;
    writer.records.chunk_rows = chunk_rows_for(expected, RECORD_CHUNK_ROWS);
    writer.readings.chunk_rows =
        chunk_rows_for(expected, s == 0 ? RECORD_CHUNK_ROWS
                                        : std::max<std::size_t>(READING_CHUNK_BYTES / (READING_VALUE_BYTES * s), 1));
    const std::size_t record_rows = writer.records.chunk_rows;
    const std::size_t reading_rows = writer.readings.chunk_rows;
    // Values stored as they lie in the data file (little-endian) are buffered in that form, so
    // nothing is converted, on any host: a float keeps every bit, NaN payloads included.
    return create_column(file, "time_offset", H5T_STD_I32LE, H5T_STD_I32LE, 1, record_rows, 1, writer.time_offset) &&
           create_column(file, "counter", H5T_STD_I32LE, H5T_STD_I32LE, 1, record_rows, 1, writer.counter) &&
           create_column(file, "time", H5T_STD_I64LE, H5T_NATIVE_INT64, 1, record_rows, 1, writer.time) &&
           create_column(file, "wavelength", H5T_STD_I32LE, H5T_STD_I32LE, s, reading_rows, 2, writer.wavelength) &&
           create_column(file, "physical_value", H5T_IEEE_F32LE, H5T_IEEE_F32LE, s, reading_rows, 2,
                         writer.physical_value);
}

// A new file beside path, made with O_EXCL so that nothing that exists is ever opened: the
// path with ".part-PID-N" appended, or, where that name is too long, a short hidden name in
// the same directory.
bool create_temporary_beside(const std::string& path, std::string& temporary) {
    const std::string pid = std::to_string(getpid());
    const std::filesystem::path directory = std::filesystem::path(path).parent_path();
    for (const bool short_name : {false, true}) {
        for (unsigned attempt = 0; attempt < 1000; ++attempt) {
            const std::string suffix = "-" + pid + "-" + std::to_string(attempt);
            const std::string name =
                short_name ? (directory / (".measconv" + suffix + ".h5.part")).string() : path + ".part" + suffix;
            if (create_new_file(name)) {
                temporary = name;
                return true;
            }
            if (errno == ENAMETOOLONG) break;  // try the short name
            if (errno != EEXIST) return false;
        }
    }
    return false;
}

// --- Writing the records ---

// Rows [group.written, group.written + group.buffered) of a column: the dataset grows to hold them.
bool write_buffered_rows(Column& column, const ColumnGroup& group) {
    const hsize_t rows = group.written + group.buffered;
    const hsize_t extent[2] = {rows, column.width};
    if (H5Dset_extent(column.dataset.get(), extent) < 0) return false;
    if (group.buffered == 0 || column.width == 0) return true;
    const hsize_t start[2] = {group.written, 0};
    const hsize_t count[2] = {group.buffered, column.width};
    const SpaceHandle file_space(H5Dget_space(column.dataset.get()));
    const SpaceHandle memory_space(H5Screate_simple(column.rank, count, nullptr));
    return file_space.valid() && memory_space.valid() &&
           H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) >= 0 &&
           H5Dwrite(column.dataset.get(), column.memory_type, memory_space.get(), file_space.get(), H5P_DEFAULT,
                    column.buffer.get()) >= 0;
}

template <typename... Columns>
bool flush_group(ColumnGroup& group, Columns&... columns) {
    const bool written = (write_buffered_rows(columns, group) && ...);
    group.written += group.buffered;
    group.buffered = 0;
    return written;
}

// time_offset, counter and time of `count` records into rows from `first` on.
void fill_record_rows(Hdf5Writer& writer, const unsigned char* records, std::size_t record_bytes, std::size_t count,
                      std::size_t first) {
    unsigned char* offsets = writer.time_offset.row(first);
    unsigned char* counters = writer.counter.row(first);
    unsigned char* times = writer.time.row(first);
    for (std::size_t r = 0; r < count; ++r, records += record_bytes) {
        std::memcpy(offsets + 4 * r, records, 4);
        std::memcpy(counters + 4 * r, records + 4, 4);
        const std::int64_t time = record_time_value(writer.start_time, load_le_i32(records));
        std::memcpy(times + 8 * r, &time, 8);
    }
}

// The wavelengths and physical values of `count` records into rows from `first` on.
void fill_reading_rows(Hdf5Writer& writer, const unsigned char* records, std::size_t record_bytes, std::size_t count,
                       std::size_t first) {
    const std::size_t s = writer.sensors;
    unsigned char* wavelengths = writer.wavelength.row(first);
    unsigned char* values = writer.physical_value.row(first);
    for (std::size_t r = 0; r < count; ++r, records += record_bytes) {
        const unsigned char* reading = records + 8;
        for (std::size_t i = 0; i < s; ++i, reading += 8, wavelengths += 4, values += 4) {
            std::memcpy(values, reading + PHYSIC_VALUE_AT, READING_VALUE_BYTES);
            std::memcpy(wavelengths, reading + WAVELENGTH_AT, READING_VALUE_BYTES);
        }
    }
}

// Feeds count records to one group, writing each chunk as it fills.
template <typename Fill, typename Flush>
bool feed_group(ColumnGroup& group, const unsigned char* records, std::size_t record_bytes, std::size_t count,
                Fill fill, Flush flush) {
    while (count > 0) {
        const std::size_t take = std::min(count, group.chunk_rows - group.buffered);
        fill(records, take, group.buffered);
        group.buffered += take;
        records += take * record_bytes;
        count -= take;
        if (group.buffered == group.chunk_rows && !flush()) return false;
    }
    return true;
}

bool close_datasets(Hdf5Writer& writer) {
    bool closed = true;
    for (Column* column :
         {&writer.time_offset, &writer.counter, &writer.time, &writer.wavelength, &writer.physical_value})
        closed = column->dataset.close() && closed;
    return closed;
}

// A file whose close fails is left half torn down by HDF5 (1.10): touching it again, as the
// library does at exit, crashes. So a file is closed only once everything has been flushed
// without a failure; one whose writes failed is abandoned instead: emptied, so its space is
// freed, and its identifier never used again. Its descriptor stays open until the process ends:
// the library knows open files by device and inode, and a new file must not get the same inode.
// The library does not tear down at exit (see create_hdf5_output).
// Returns true when the file was closed with all its bytes written.
bool close_or_abandon(Hdf5Writer& writer) {
    const hid_t file = writer.file.get();
    if (file < 0) return true;
    if (!writer.failed && H5Fflush(file, H5F_SCOPE_LOCAL) >= 0) return writer.file.close();
    void* handle = nullptr;
    if (H5Fget_vfd_handle(file, H5P_DEFAULT, &handle) >= 0 && handle != nullptr &&
        ftruncate(*static_cast<int*>(handle), 0) != 0) {
        // Nothing more can be done: the space is freed when the process ends.
    }
    writer.file.abandon();
    return false;
}

void remove_temporary(Hdf5Writer& writer) {
    close_datasets(writer);
    close_or_abandon(writer);
    if (!writer.temporary.empty()) std::remove(writer.temporary.c_str());
}

}  // namespace

void Hdf5WriterDeleter::operator()(Hdf5Writer* writer) const {
    const Hdf5LibraryLock lock;
    if (!writer->finished) remove_temporary(*writer);
    delete writer;
}

bool hdf5_supported() { return true; }

Problem create_hdf5_output(const std::string& path, const std::string& input, const DataFileHeader& header,
                           Hdf5Output& out, const std::vector<SelectionAttribute>& selection) {
    const Hdf5LibraryLock lock;
    out.writer.reset();
    const Problem cannot_open{ConvertStatus::hdf5_open_failed, path};
    std::error_code error;
    if (is_same_file(path, input) || std::filesystem::is_directory(path, error)) return cannot_open;

    // No teardown at exit, where the library would flush (and crash on) an abandoned file; our
    // files are all closed or abandoned by then. Effective before the library's first use only.
    H5dont_atexit();
    // The library's own error report would go to standard error; failures are reported as our messages.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);

    auto writer = std::unique_ptr<Hdf5Writer, Hdf5WriterDeleter>(new Hdf5Writer);
    writer->path = path;
    writer->start_time = header.start_time;
    writer->sensors = header.sensors.size();
    if (!create_temporary_beside(path, writer->temporary)) return cannot_open;
    const PropertiesHandle creation = untimed_creation(H5P_FILE_CREATE);
    if (creation.valid())
        writer->file = FileHandle(
            H5Fcreate(hdf5_file_name(writer->temporary).c_str(), H5F_ACC_TRUNC, creation.get(), H5P_DEFAULT));
    if (!writer->file.valid()) return cannot_open;  // the writer removes its temporary file

    const hid_t file = writer->file.get();
    if (!write_root_attributes(file, header) || !write_selection_attributes(file, selection) ||
        !write_sensor_datasets(file, header) ||
        !create_columns(*writer, expected_records(input, writer->sensors)))
        return {ConvertStatus::write_failed, path};
    out.writer = std::move(writer);
    return {};
}

bool append_hdf5_records(Hdf5Output& out, const unsigned char* records, std::size_t count) {
    if (!out.is_open()) return true;
    const Hdf5LibraryLock lock;
    Hdf5Writer& w = *out.writer;
    if (w.failed) return false;
    const std::size_t record_bytes = record_size(w.sensors);
    const bool appended = feed_group(
                              w.records, records, record_bytes, count,
                              [&](const unsigned char* from, std::size_t n, std::size_t first) {
                                  fill_record_rows(w, from, record_bytes, n, first);
                              },
                              [&] { return flush_group(w.records, w.time_offset, w.counter, w.time); }) &&
                          feed_group(
                              w.readings, records, record_bytes, count,
                              [&](const unsigned char* from, std::size_t n, std::size_t first) {
                                  fill_reading_rows(w, from, record_bytes, n, first);
                              },
                              [&] { return flush_group(w.readings, w.wavelength, w.physical_value); });
    if (!appended) w.failed = true;
    return appended;
}

Problem finish_hdf5_output(Hdf5Output& out) {
    if (!out.is_open()) return {};
    const Hdf5LibraryLock lock;
    Hdf5Writer& w = *out.writer;
    const Problem cannot_write{ConvertStatus::write_failed, w.path};
    bool complete = !w.failed && flush_group(w.records, w.time_offset, w.counter, w.time) &&
                    flush_group(w.readings, w.wavelength, w.physical_value);
    complete = close_datasets(w) && complete;
    if (!complete) w.failed = true;
    complete = close_or_abandon(w) && complete;
    if (complete && replace_file(w.temporary, w.path)) w.finished = true;
    const bool finished = w.finished;
    out.writer.reset();  // removes the temporary file unless it became the output
    return finished ? Problem{} : cannot_write;
}
