// How the record datasets of an .h5 file are stored: as they are, or through HDF5's shuffle
// and deflate filters, which every HDF5 reader has built in. A plain value carried by the
// conversion request (from MEASCONV_HDF5_COMPRESSION).
#pragma once

struct Hdf5Compression {
    int deflate_level = 0;  // 0: not compressed; 1 to 9: deflated at that zlib level

    bool operator==(const Hdf5Compression&) const = default;
};

inline constexpr int MIN_DEFLATE_LEVEL = 1;
inline constexpr int MAX_DEFLATE_LEVEL = 9;
// "deflate" without a level: higher levels make the records' files only about 1 % smaller
// and take several times as long (doc/hdf5.md).
inline constexpr int DEFAULT_DEFLATE_LEVEL = 1;
