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

// A combined file exists only when both bits of its pair are set.
inline constexpr bool has_flags(TypeFlags flags, TypeFlags wanted) { return (flags & wanted) == wanted; }

// Bits of every type letter (p w s c t h, either case) found anywhere in text; other characters are ignored.
TypeFlags parse_type_letters(const std::string& text);
