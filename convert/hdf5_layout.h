// What an .h5 file declares to the tools that read it: names, types, shapes, dimensions and the
// attributes that describe them. The layout follows the netCDF-4 data model and the CF
// conventions, so netCDF readers (netcdf-c and what builds on it, h5netcdf, xarray) see labelled
// data, and plain HDF5 readers (h5py, MATLAB, R's hdf5r) see the datasets of format 1 under
// their names. Values are stored exactly as the data file holds them: nothing is masked, scaled
// or filled in.
//
//   dimensions: record (n, unlimited), sensor (s), serial_length (31): HDF5 dimension scales
//       without values of their own, as netCDF-4 stores a dimension without a coordinate
//       variable, attached to every dataset
//   /time_offset int32 [record], /counter int32 [record], /time int64 [record]
//   /wavelength int32 [record, sensor], /physical_value float32 [record, sensor]
//   /sensor_id uint8 [sensor], /sensor_serial char [sensor, serial_length]
// Every dataset has a long_name; time has CF time units, wavelength is in pm with its valid
// range; time, sensor_id and sensor_serial are the coordinates of the others.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "convert/hdf5_compression.h"
#include "convert/hdf5_handles.h"
#include "convert/selection.h"
#include "datafile/data_file.h"

// The value of the root attribute "format": which layout a file has.
inline constexpr char HDF5_FORMAT_NAME[] = "measconv-hdf5 2";

// The datasets that hold the records, in the order the writer fills them.
enum class RecordDataset : std::size_t { time_offset, counter, time, wavelength, physical_value };
inline constexpr std::size_t RECORD_DATASET_COUNT = 5;

// What the writer fills: the record datasets, and the record dimension that grows with them.
struct RecordDatasets {
    DatasetHandle record_dimension;
    std::array<DatasetHandle, RECORD_DATASET_COUNT> datasets;

    hid_t operator[](RecordDataset which) const { return datasets[static_cast<std::size_t>(which)].get(); }
};

// For H5Fcreate: no time stamps, and the datasets and attributes listed in the order they were
// made (dimensions first, then the records, then the sensor table).
PropertiesHandle file_creation_properties();

// The attributes of the root group: the header texts and numbers, and what the file is.
bool write_root_attributes(hid_t file, const DataFileHeader& header);

// The root attributes that say which sensors and records a file holds (none for a whole file),
// written after the header's.
bool write_selection_attributes(hid_t file, const std::vector<SelectionAttribute>& attributes);

// Everything below the root attributes: the dimensions, the record datasets, empty and
// extendible, in chunks of chunk_rows records (deflated when compression asks for it), and the
// sensor datasets with their values. False when anything could not be written.
bool create_datasets(hid_t file, const DataFileHeader& header, std::size_t chunk_rows,
                     const Hdf5Compression& compression, RecordDatasets& out);
