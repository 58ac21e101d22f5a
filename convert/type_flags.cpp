#include "convert/type_flags.h"

TypeFlags parse_type_letters(const std::string& text) {
    TypeFlags flags = 0;
    for (char c : text) {
        switch (c) {
        case 'p':
        case 'P': flags |= FLAG_PHYSIC; break;
        case 'w':
        case 'W': flags |= FLAG_WAVELENGTH; break;
        case 's':
        case 'S': flags |= FLAG_SPLIT; break;
        case 'c':
        case 'C': flags |= FLAG_CSV; break;
        case 't':
        case 'T': flags |= FLAG_TEXT; break;
        case 'h':
        case 'H': flags |= FLAG_HDF5; break;
        default: break;
        }
    }
    return flags;
}
