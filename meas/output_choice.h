// Which files `meas convert` writes for each input: measconv's type letters, or the files
// named one by one.
#pragma once

#include <optional>
#include <string>

#include "convert/type_flags.h"

struct OutputChoice {
    TypeFlags flags = 0;
    OutputSet wanted = ALL_OUTPUTS;  // of the files the flags give
};

// The files a conversion with this choice writes (a bit each; 0: none).
OutputSet written_outputs(const OutputChoice& choice);

// measconv's letters p w t c s h (either case). Any other character is refused, so "csv" (which
// measconv reads as c and s) says what it would do instead. Nothing on error, with its text.
std::optional<OutputChoice> letters_choice(const std::string& letters, std::string& error);

// Comma-separated names: pv.txt wl.txt pv.csv wl.csv split-txt split-csv h5, and the groups
// txt (pv.txt,wl.txt), csv (pv.csv,wl.csv), split (split-txt,split-csv).
std::optional<OutputChoice> named_choice(const std::string& names, std::string& error);

// Without an output option: the HDF5 file, or in a build without HDF5 both combined CSV files.
OutputChoice default_choice(bool hdf5_supported);

// The spelled-out names of the files a choice writes, comma-separated ("pv.csv,h5").
std::string output_names(const OutputChoice& choice);

// The help text's list of the names.
inline constexpr char OUTPUT_NAMES_HELP[] = "pv.txt, wl.txt, pv.csv, wl.csv, split-txt, split-csv, h5; txt, csv, split";
