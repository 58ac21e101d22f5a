// The names of a conversion's files. The four combined files are described here once, in
// their fixed order (the order they are created, given their headers and closed in).
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "convert/convert_status.h"
#include "convert/type_flags.h"

enum class CombinedKind : std::size_t { physic_text, wavelength_text, physic_csv, wavelength_csv };

struct CombinedOutput {
    CombinedKind kind;
    TypeFlags bits;  // the file is written when both are set
    const char* suffix;
    ConvertStatus open_failure;
};

inline constexpr std::size_t COMBINED_OUTPUT_COUNT = 4;

// The HDF5 file (type letter h) is the output base with this suffix.
inline constexpr char HDF5_SUFFIX[] = ".h5";

inline constexpr std::array<CombinedOutput, COMBINED_OUTPUT_COUNT> COMBINED_OUTPUTS = {{
    {CombinedKind::physic_text, FLAG_TEXT | FLAG_PHYSIC, "_pv.txt", ConvertStatus::physic_text_open_failed},
    {CombinedKind::wavelength_text, FLAG_TEXT | FLAG_WAVELENGTH, "_wl.txt", ConvertStatus::wavelength_text_open_failed},
    {CombinedKind::physic_csv, FLAG_CSV | FLAG_PHYSIC, "_pv.csv", ConvertStatus::physic_csv_open_failed},
    {CombinedKind::wavelength_csv, FLAG_CSV | FLAG_WAVELENGTH, "_wl.csv", ConvertStatus::wavelength_csv_open_failed},
}};

inline constexpr const CombinedOutput& combined_output(CombinedKind kind) {
    return COMBINED_OUTPUTS[static_cast<std::size_t>(kind)];
}

// The paths of one conversion: its input, its output base (used as it stands), the four
// combined names formed from the base, indexed by CombinedKind, and the HDF5 file's name.
struct RunPaths {
    std::string input;
    std::string output_base;
    std::array<std::string, COMBINED_OUTPUT_COUNT> combined;
    std::string hdf5;

    const std::string& operator[](CombinedKind kind) const { return combined[static_cast<std::size_t>(kind)]; }
};

RunPaths derive_output_paths(const std::string& input, const std::string& output_base);

static_assert(combined_output(CombinedKind::wavelength_csv).kind == CombinedKind::wavelength_csv,
              "COMBINED_OUTPUTS is indexed by CombinedKind");
static_assert((1u << static_cast<unsigned>(CombinedKind::wavelength_csv)) == OUTPUT_WAVELENGTH_CSV &&
                  (1u << static_cast<unsigned>(CombinedKind::physic_text)) == OUTPUT_PHYSIC_TEXT,
              "the OutputSet bits of the combined files follow CombinedKind");
