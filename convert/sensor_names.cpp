#include "convert/sensor_names.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

bool is_path_separator(char c) { return c == '/' || c == '\\'; }

bool is_refused_by_windows(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || std::strchr("<>:\"|?*", c) != nullptr;
}

char upper_ascii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

bool is_windows_device_name(const std::string& stem) {
    // Windows looks at the name up to its first dot, without the spaces before that dot:
    // "con.txt", "CON .x.csv" and "Com1" all name devices.
    std::string base = stem.substr(0, stem.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    std::transform(base.begin(), base.end(), base.begin(), upper_ascii);
    static constexpr std::array<const char*, 4> plain = {"CON", "PRN", "AUX", "NUL"};
    if (std::find_if(plain.begin(), plain.end(), [&](const char* name) { return base == name; }) != plain.end())
        return true;
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '1' && base[3] <= '9';
}

std::string sensor_file_stem(const std::string& serial, NameRules rules) {
    std::string stem = serial;
    std::replace_if(stem.begin(), stem.end(), is_path_separator, '_');
    if (rules == NameRules::posix) return stem;

    std::replace_if(stem.begin(), stem.end(), is_refused_by_windows, '_');
    if (!stem.empty() && (stem.back() == '.' || stem.back() == ' ')) stem.back() = '_';
    if (is_windows_device_name(stem)) stem.insert(0, 1, '_');
    return stem;
}
