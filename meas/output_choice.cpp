#include "meas/output_choice.h"

#include <cctype>

namespace {

struct NamedOutput {
    const char* name;
    TypeFlags flags;
    OutputSet wanted;
};

// Each output's letters and bit, in the order the outputs are listed; the groups after them.
constexpr NamedOutput NAMED_OUTPUTS[] = {
    {"pv.txt", FLAG_TEXT | FLAG_PHYSIC, OUTPUT_PHYSIC_TEXT},
    {"wl.txt", FLAG_TEXT | FLAG_WAVELENGTH, OUTPUT_WAVELENGTH_TEXT},
    {"pv.csv", FLAG_CSV | FLAG_PHYSIC, OUTPUT_PHYSIC_CSV},
    {"wl.csv", FLAG_CSV | FLAG_WAVELENGTH, OUTPUT_WAVELENGTH_CSV},
    {"split-txt", FLAG_SPLIT | FLAG_TEXT, OUTPUT_SPLIT_TEXT},
    {"split-csv", FLAG_SPLIT | FLAG_CSV, OUTPUT_SPLIT_CSV},
    {"h5", FLAG_HDF5, OUTPUT_HDF5},
    {"txt", FLAG_TEXT | FLAG_PHYSIC | FLAG_WAVELENGTH, OUTPUT_PHYSIC_TEXT | OUTPUT_WAVELENGTH_TEXT},
    {"csv", FLAG_CSV | FLAG_PHYSIC | FLAG_WAVELENGTH, OUTPUT_PHYSIC_CSV | OUTPUT_WAVELENGTH_CSV},
    {"split", FLAG_SPLIT | FLAG_TEXT | FLAG_CSV, OUTPUT_SPLIT_TEXT | OUTPUT_SPLIT_CSV},
};
constexpr std::size_t SINGLE_OUTPUTS = 7;  // the first rows name one file each

constexpr char LETTERS[] = "pwtcsh";

}  // namespace

OutputSet written_outputs(const OutputChoice& choice) {
    OutputSet written = 0;
    for (std::size_t i = 0; i < SINGLE_OUTPUTS; ++i)
        if (has_flags(choice.flags, NAMED_OUTPUTS[i].flags)) written |= NAMED_OUTPUTS[i].wanted;
    return written & choice.wanted;
}

std::optional<OutputChoice> letters_choice(const std::string& letters, std::string& error) {
    for (const char c : letters) {
        if (std::string(LETTERS).find(static_cast<char>(std::tolower(static_cast<unsigned char>(c)))) ==
            std::string::npos) {
            std::string text(1, '\'');
            text += c;
            text += "' is not an output letter (p w t c s h)";
            if (letters.find_first_of("vV") != std::string::npos)
                text += "; for the CSV files give -t cpw or --outputs csv";
            error = std::move(text);
            return std::nullopt;
        }
    }
    return OutputChoice{parse_type_letters(letters), ALL_OUTPUTS};
}

std::optional<OutputChoice> named_choice(const std::string& names, std::string& error) {
    OutputChoice choice{0, 0};
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = names.find(',', at);
        const std::string name = names.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        bool known = false;
        for (const NamedOutput& output : NAMED_OUTPUTS) {
            if (name != output.name) continue;
            choice.flags |= output.flags;
            choice.wanted |= output.wanted;
            known = true;
        }
        if (!known) {
            error = (name.empty() ? std::string("an empty output name") : "'" + name + "' is not an output name") +
                    " (" + OUTPUT_NAMES_HELP + ")";
            return std::nullopt;
        }
        if (comma == std::string::npos) return choice;
        at = comma + 1;
    }
}

OutputChoice default_choice(bool hdf5_supported) {
    if (hdf5_supported) return {FLAG_HDF5, ALL_OUTPUTS};
    return {FLAG_CSV | FLAG_PHYSIC | FLAG_WAVELENGTH, ALL_OUTPUTS};
}

std::string output_names(const OutputChoice& choice) {
    const OutputSet written = written_outputs(choice);
    std::string names;
    for (std::size_t i = 0; i < SINGLE_OUTPUTS; ++i) {
        if ((written & NAMED_OUTPUTS[i].wanted) == 0) continue;
        if (!names.empty()) names += ",";
        names += NAMED_OUTPUTS[i].name;
    }
    return names;
}
