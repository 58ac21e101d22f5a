// The HDF5 output of a build without the HDF5 library: nothing is written and every call
// succeeds, so the other outputs convert as usual (the command line prints a notice for 'h').
#include "convert/hdf5_output.h"

struct Hdf5Writer {};

void Hdf5WriterDeleter::operator()(Hdf5Writer* writer) const { delete writer; }

bool hdf5_supported() { return false; }

bool prepare_hdf5_for_this_thread() { return true; }

bool hdf5_compression_available(const Hdf5Compression&) { return true; }

Problem create_hdf5_output(const std::string&, const std::string&, const DataFileHeader&, const Hdf5Compression&,
                           Hdf5Output& out,
                           const std::vector<SelectionAttribute>&) {
    out.writer.reset();
    return {};
}

bool append_hdf5_records(Hdf5Output&, const unsigned char*, std::size_t) { return true; }

Problem finish_hdf5_output(Hdf5Output& out, const std::vector<FileIdentity>&) {
    out.writer.reset();
    return {};
}

bool discard_hdf5_output(Hdf5Output& out, std::string&) {
    out.writer.reset();
    return true;
}
