// write_bytes MANIFEST: for every line "SIZE PATH" of the manifest, creates PATH (and its
// directory) and writes SIZE bytes into it in 1 MiB blocks, the converter's block size. The
// end-to-end benchmark times this against the converter writing the same files.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: write_bytes MANIFEST\n", stderr);
        return 2;
    }
    std::ifstream manifest(argv[1]);
    const std::vector<char> block(1 << 20, 'x');
    unsigned long long size = 0;
    std::string path;
    while (manifest >> size && std::getline(manifest >> std::ws, path)) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) return 1;
        std::setvbuf(file, nullptr, _IONBF, 0);
        for (unsigned long long left = size; left > 0;) {
            const std::size_t chunk = left < block.size() ? static_cast<std::size_t>(left) : block.size();
            if (std::fwrite(block.data(), 1, chunk, file) != chunk) return 1;
            left -= chunk;
        }
        if (std::fclose(file) != 0) return 1;
    }
    return 0;
}
