// Which outputs a conversion writes: one bit per type letter.
#pragma once

#include <cstdint>
#include <string>

using TypeFlags = std::uint8_t;

inline constexpr TypeFlags FLAG_PHYSIC = 0x01;      // p
inline constexpr TypeFlags FLAG_WAVELENGTH = 0x02;  // w
inline constexpr TypeFlags FLAG_SPLIT = 0x04;       // s
inline constexpr TypeFlags FLAG_CSV = 0x10;         // c
inline constexpr TypeFlags FLAG_TEXT = 0x20;        // t
inline constexpr TypeFlags FLAG_HDF5 = 0x40;        // h

// The outputs one by one, for a caller that names them so: of the files its letters give, a
// conversion writes those in its OutputSet (letters can say "pv.txt and wl.csv" only with all
// four combined files). The combined files' bits follow CombinedKind (output_names.h).
using OutputSet = std::uint8_t;

inline constexpr OutputSet OUTPUT_PHYSIC_TEXT = 0x01;
inline constexpr OutputSet OUTPUT_WAVELENGTH_TEXT = 0x02;
inline constexpr OutputSet OUTPUT_PHYSIC_CSV = 0x04;
inline constexpr OutputSet OUTPUT_WAVELENGTH_CSV = 0x08;
inline constexpr OutputSet OUTPUT_SPLIT_TEXT = 0x10;
inline constexpr OutputSet OUTPUT_SPLIT_CSV = 0x20;
inline constexpr OutputSet OUTPUT_HDF5 = 0x40;
inline constexpr OutputSet ALL_OUTPUTS = 0x7f;

// A combined file exists only when both bits of its pair are set.
inline constexpr bool has_flags(TypeFlags flags, TypeFlags wanted) { return (flags & wanted) == wanted; }

// Bits of every type letter (p w s c t h, either case) found anywhere in text; other characters are ignored.
TypeFlags parse_type_letters(const std::string& text);
