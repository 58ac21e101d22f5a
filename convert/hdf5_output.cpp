#include "convert/hdf5_output.h"

#include <hdf5.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <cinttypes>
#include <new>
#include <optional>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <tuple>
#include <utility>

#include "convert/hdf5_handles.h"
#include "convert/hdf5_layout.h"
#include "convert/hdf5_library_lock.h"
#include "convert/native_files.h"
#include "convert/output_file.h"

namespace {

// A chunk of a 1-D record dataset holds up to this many records; a chunk of a [n, s] dataset as
// many whole rows as fit in READING_CHUNK_BYTES (at least one), and every record dataset takes
// the same number, so their chunks fill together and are written together.
constexpr std::size_t RECORD_CHUNK_ROWS = 1 << 16;
constexpr std::size_t READING_CHUNK_BYTES = 1 << 20;

// A reading is two values of 4 bytes: its physical value at offset 0, its wavelength at 4.
constexpr std::size_t READING_VALUE_BYTES = 4;
constexpr std::size_t PHYSIC_VALUE_AT = 0;
constexpr std::size_t WAVELENGTH_AT = 4;

std::size_t longest_chunk_rows(std::size_t sensors) {
    if (sensors == 0) return RECORD_CHUNK_ROWS;
    return std::clamp<std::size_t>(READING_CHUNK_BYTES / (READING_VALUE_BYTES * sensors), 1, RECORD_CHUNK_ROWS);
}

// The values of one record dataset for the records of the chunk being filled, as the file
// stores them (little-endian), so nothing is converted on the way: a float keeps every bit.
struct Column {
    int rank = 1;           // 1: [n]; 2: [n, s]
    std::size_t width = 1;  // values per record: 1, or the sensor count
    std::size_t value_size = 0;
    std::unique_ptr<unsigned char[]> buffer;

    unsigned char* row(std::size_t index) { return buffer.get() + index * width * value_size; }
};

}  // namespace

struct Hdf5Writer {
    std::string path;       // where the complete file goes
    std::string temporary;  // where it is written until then
    DataFileHeader header;
    Hdf5Compression compression;
    bool failed = false;
    bool finished = false;

    FileHandle file;
    // Made once the chunk length is known: when the first chunk is full, or at the end.
    RecordDatasets datasets;
    bool datasets_made = false;
    std::size_t chunk_rows = 0;  // the longest chunk, the length of the buffers
    std::size_t buffered = 0;    // records in the buffers
    hsize_t written = 0;         // records in the file
    std::array<Column, RECORD_DATASET_COUNT> columns;

    Column& column(RecordDataset which) { return columns[static_cast<std::size_t>(which)]; }
    std::size_t sensors() const { return header.sensors.size(); }
};

namespace {

// --- Memory ---

// The library crashes on some failed allocations (creating a file's metadata cache, a thread's
// error state) instead of failing the call. So where the address space is limited (ulimit -v,
// prlimit --as: the limit under which allocations fail) it is entered only with at least this
// much of it free; with less, the conversion runs out of memory as the allocation would have.
constexpr std::uint64_t LIBRARY_HEADROOM = 4u << 20;

// The address space free below its limit, or nothing when there is no limit.
std::optional<std::uint64_t> free_address_space() {
#ifdef _WIN32
    return std::nullopt;  // no address-space limit to look at there
#else
    struct rlimit limit {};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    std::uint64_t pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%" SCNu64, &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    const std::uint64_t used = pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    return used < limit.rlim_cur ? limit.rlim_cur - used : 0;
#endif
}

// Throws std::bad_alloc, as the allocation would fail, when the library cannot safely be entered.
void require_memory_for_library() {
    const std::optional<std::uint64_t> free = free_address_space();
    if (free && *free < LIBRARY_HEADROOM) throw std::bad_alloc();
}

// --- Creating the file ---

void make_buffers(Hdf5Writer& writer) {
    const std::size_t s = writer.sensors();
    writer.chunk_rows = longest_chunk_rows(s);
    // Rank, values per record and bytes per value, in the order of RecordDataset.
    const std::tuple<int, std::size_t, std::size_t> shapes[RECORD_DATASET_COUNT] = {
        {1, 1, 4}, {1, 1, 4}, {1, 1, 8}, {2, s, READING_VALUE_BYTES}, {2, s, READING_VALUE_BYTES}};
    for (std::size_t i = 0; i < RECORD_DATASET_COUNT; ++i) {
        Column& column = writer.columns[i];
        std::tie(column.rank, column.width, column.value_size) = shapes[i];
        column.buffer =
            std::make_unique_for_overwrite<unsigned char[]>(writer.chunk_rows * column.width * column.value_size);
    }
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

void store_le_i64(unsigned char* to, std::int64_t value) {
    for (int i = 0; i < 8; ++i) to[i] = static_cast<unsigned char>(static_cast<std::uint64_t>(value) >> (8 * i));
}

// The values of `count` records into the buffers, from record `first` of the chunk on.
void fill_rows(Hdf5Writer& writer, const unsigned char* records, std::size_t count, std::size_t first) {
    const std::size_t s = writer.sensors();
    const std::size_t record_bytes = record_size(s);
    unsigned char* offsets = writer.column(RecordDataset::time_offset).row(first);
    unsigned char* counters = writer.column(RecordDataset::counter).row(first);
    unsigned char* times = writer.column(RecordDataset::time).row(first);
    unsigned char* wavelengths = writer.column(RecordDataset::wavelength).row(first);
    unsigned char* values = writer.column(RecordDataset::physical_value).row(first);
    for (std::size_t r = 0; r < count; ++r, records += record_bytes) {
        std::memcpy(offsets + 4 * r, records, 4);
        std::memcpy(counters + 4 * r, records + 4, 4);
        store_le_i64(times + 8 * r, record_time_value(writer.header.start_time, load_le_i32(records)));
        const unsigned char* reading = records + 8;
        for (std::size_t i = 0; i < s; ++i, reading += 8, wavelengths += 4, values += 4) {
            std::memcpy(values, reading + PHYSIC_VALUE_AT, READING_VALUE_BYTES);
            std::memcpy(wavelengths, reading + WAVELENGTH_AT, READING_VALUE_BYTES);
        }
    }
}

// The datasets, in chunks of chunk_rows records: the longest chunk once a file has more
// records than it holds, otherwise just the records of the file (at least one).
bool make_datasets(Hdf5Writer& writer, std::size_t chunk_rows) {
    writer.datasets_made = true;
    return create_datasets(writer.file.get(), writer.header, chunk_rows, writer.compression, writer.datasets);
}

// The buffered records of one dataset after those in the file: the dataset grows to hold them.
bool write_buffered_rows(hid_t dataset, const Column& column, hsize_t written, std::size_t buffered) {
    const hsize_t extent[2] = {written + buffered, column.width};
    if (H5Dset_extent(dataset, extent) < 0) return false;
    if (buffered == 0 || column.width == 0) return true;
    const hsize_t start[2] = {written, 0};
    const hsize_t count[2] = {buffered, column.width};
    const SpaceHandle file_space(H5Dget_space(dataset));
    const SpaceHandle memory_space(H5Screate_simple(column.rank, count, nullptr));
    const TypeHandle type(H5Dget_type(dataset));
    return file_space.valid() && memory_space.valid() && type.valid() &&
           H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) >= 0 &&
           H5Dwrite(dataset, type.get(), memory_space.get(), file_space.get(), H5P_DEFAULT, column.buffer.get()) >= 0;
}

// Writes the buffered records to every record dataset.
bool flush_buffers(Hdf5Writer& writer) {
    bool written = true;
    for (std::size_t i = 0; i < RECORD_DATASET_COUNT && written; ++i)
        written =
            write_buffered_rows(writer.datasets.datasets[i].get(), writer.columns[i], writer.written, writer.buffered);
    writer.written += writer.buffered;
    writer.buffered = 0;
    return written;
}

bool close_datasets(Hdf5Writer& writer) {
    bool closed = writer.datasets.record_dimension.close();
    for (DatasetHandle& dataset : writer.datasets.datasets) closed = dataset.close() && closed;
    return closed;
}

// A file whose close fails is left half torn down by HDF5 (1.10): touching it again, as the
// library does at exit, crashes. So a file is closed only once everything has been flushed
// without a failure; one whose writes failed is abandoned instead: emptied, so its space is
// freed, and its identifier never used again. Its descriptor stays open until the process ends:
// the library knows open files by device and inode, and a new file must not get the same inode.
// The library does not tear down at exit (see prepare_hdf5_for_this_thread).
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

bool prepare_hdf5_for_this_thread() {
    // More than the library's error state of a thread takes, given back before the library asks.
    constexpr std::size_t PROBE_BYTES = 256u << 10;
    void* probe = std::malloc(PROBE_BYTES);
    if (probe == nullptr) return false;
    std::free(probe);
    const Hdf5LibraryLock lock;
    // No teardown at exit, where the library would flush (and crash on) an abandoned file, ours
    // being all closed or abandoned by then (see close_or_abandon). Repeated calls do nothing.
    H5dont_atexit();
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    return true;
}

bool hdf5_compression_available(const Hdf5Compression& compression) {
    if (compression.deflate_level == 0) return true;
    prepare_hdf5_for_this_thread();  // on the main thread at start-up, before the library's first other call
    const Hdf5LibraryLock lock;
    return H5Zfilter_avail(H5Z_FILTER_DEFLATE) > 0 && H5Zfilter_avail(H5Z_FILTER_SHUFFLE) > 0;
}

Problem create_hdf5_output(const std::string& path, const std::string& input, const DataFileHeader& header,
                           const Hdf5Compression& compression, Hdf5Output& out,
                           const std::vector<SelectionAttribute>& selection) {
    const Hdf5LibraryLock lock;
    out.writer.reset();
    const Problem cannot_open{ConvertStatus::hdf5_open_failed, path};
    std::error_code error;
    if (is_same_file(path, input) || std::filesystem::is_directory(path, error)) return cannot_open;

    require_memory_for_library();
    auto writer = std::unique_ptr<Hdf5Writer, Hdf5WriterDeleter>(new Hdf5Writer);
    writer->path = path;
    writer->header = header;
    writer->compression = compression;
    if (!create_temporary_beside(path, writer->temporary)) return cannot_open;
    const PropertiesHandle creation = file_creation_properties();
    if (creation.valid())
        writer->file = FileHandle(
            H5Fcreate(hdf5_file_name(writer->temporary).c_str(), H5F_ACC_TRUNC, creation.get(), H5P_DEFAULT));
    if (!writer->file.valid()) return cannot_open;  // the writer removes its temporary file

    if (!write_root_attributes(writer->file.get(), header) || !write_selection_attributes(writer->file.get(), selection))
        return {ConvertStatus::write_failed, path};
    make_buffers(*writer);
    out.writer = std::move(writer);
    return {};
}

bool append_hdf5_records(Hdf5Output& out, const unsigned char* records, std::size_t count) {
    if (!out.is_open()) return true;
    const Hdf5LibraryLock lock;
    Hdf5Writer& w = *out.writer;
    if (w.failed) return false;
    const std::size_t record_bytes = record_size(w.sensors());
    while (count > 0) {
        const std::size_t take = std::min(count, w.chunk_rows - w.buffered);
        fill_rows(w, records, take, w.buffered);
        w.buffered += take;
        records += take * record_bytes;
        count -= take;
        if (w.buffered == w.chunk_rows) require_memory_for_library();
        if (w.buffered == w.chunk_rows &&
            ((!w.datasets_made && !make_datasets(w, w.chunk_rows)) || !flush_buffers(w))) {
            w.failed = true;
            return false;
        }
    }
    return true;
}

Problem finish_hdf5_output(Hdf5Output& out, const std::vector<FileIdentity>& never_replace) {
    if (!out.is_open()) return {};
    const Hdf5LibraryLock lock;
    Hdf5Writer& w = *out.writer;
    const Problem cannot_write{ConvertStatus::write_failed, w.path};
    require_memory_for_library();
    // A file that never filled its first chunk has one chunk of just its records.
    bool complete = !w.failed && (w.datasets_made || make_datasets(w, std::max<std::size_t>(w.buffered, 1))) &&
                    flush_buffers(w) && H5Dset_extent(w.datasets.record_dimension.get(), &w.written) >= 0;
    complete = close_datasets(w) && complete;
    if (!complete) w.failed = true;
    complete = close_or_abandon(w) && complete;
    // The rename would take the name from whatever file holds it: never from the input or the list.
    if (complete && !may_be_one_of(path_identity(w.path), never_replace) && replace_file(w.temporary, w.path))
        w.finished = true;
    const bool finished = w.finished;
    out.writer.reset();  // removes the temporary file unless it became the output
    return finished ? Problem{} : cannot_write;
}

bool discard_hdf5_output(Hdf5Output& out, std::string& left) {
    if (!out.is_open()) return true;
    const Hdf5LibraryLock lock;
    Hdf5Writer& w = *out.writer;
    close_datasets(w);
    close_or_abandon(w);
    const bool removed = w.temporary.empty() || std::remove(w.temporary.c_str()) == 0;
    if (!removed) left = w.temporary;
    w.finished = true;  // nothing more for the writer's deleter to remove
    out.writer.reset();
    return removed;
}
