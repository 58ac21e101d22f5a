// Process-wide run state: which outputs to write and where.
// Set by the command line (or a list entry) before each conversion and read by it.
#pragma once

#include <cstdint>
#include <string>

using TypeFlags = std::uint8_t;

inline constexpr TypeFlags FLAG_PHYSIC = 0x01;
inline constexpr TypeFlags FLAG_WAVELENGTH = 0x02;
inline constexpr TypeFlags FLAG_SPLIT = 0x04;
inline constexpr TypeFlags FLAG_CSV = 0x10;
inline constexpr TypeFlags FLAG_TEXT = 0x20;

// A combined file exists only when both bits of its pair are set.
inline constexpr bool has_flags(TypeFlags flags, TypeFlags wanted) { return (flags & wanted) == wanted; }

struct RunPaths {
    std::string input;
    std::string list;
    std::string output_base;
    std::string physic_text;       // "<base>_pv.txt"
    std::string physic_csv;        // "<base>_pv.csv"
    std::string wavelength_text;   // "<base>_wl.txt"
    std::string wavelength_csv;    // "<base>_wl.csv"
};

extern TypeFlags g_type_flags;
extern RunPaths g_run_paths;

// Bits of every type letter (p w s c t, either case) found anywhere in text.
TypeFlags parse_type_letters(const std::string& text);

// Sets the output base and the four combined names of g_run_paths.
void derive_output_paths(const std::string& base);
