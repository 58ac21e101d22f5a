// The file stem a sensor's serial gives on each kind of file system.
#pragma once

#include <string>

enum class NameRules {
    posix,    // only '/' and '\' are made '_': the names of every release so far, kept as they are
    windows,  // also no reserved device name, no character Windows refuses, no trailing dot or space
};

// The rules of the platform this program is built for.
#ifdef _WIN32
inline constexpr NameRules PLATFORM_NAME_RULES = NameRules::windows;
#else
inline constexpr NameRules PLATFORM_NAME_RULES = NameRules::posix;
#endif

// The stem of a sensor's files ("STEM.txt", "STEM.csv") before the uniqueness suffix.
// Under NameRules::windows, each of < > : " | ? * and every control byte (1 to 31) is made '_',
// as is a final '.' or ' ' (Windows would drop it), and a reserved device name (CON, PRN, AUX,
// NUL, COM1-COM9, LPT1-LPT9, in any case, alone or before an extension) gets a '_' in front.
std::string sensor_file_stem(const std::string& serial, NameRules rules);

// True when Windows opens a device instead of a file for a name with this stem and an extension.
bool is_windows_device_name(const std::string& stem);
