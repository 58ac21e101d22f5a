#include "convert/output_names.h"

RunPaths derive_output_paths(const std::string& input, const std::string& output_base) {
    RunPaths paths{input, output_base, {}, output_base + HDF5_SUFFIX};
    for (const CombinedOutput& output : COMBINED_OUTPUTS)
        paths.combined[static_cast<std::size_t>(output.kind)] = output_base + output.suffix;
    return paths;
}
