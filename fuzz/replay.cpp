// Runs a fuzz target over saved inputs without libFuzzer, for compilers that
// have no libFuzzer and for replaying the corpus and found crashes under a
// debugger or a sanitizer. Each argument is a file or a directory, read
// recursively in name order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool collect(const fs::path& arg, std::vector<fs::path>& files) {
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(arg, ec)) {
            if (e.is_regular_file()) files.push_back(e.path());
        }
        return !ec;
    }
    if (!fs::is_regular_file(arg, ec)) return false;
    files.push_back(arg);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], files)) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
            return 2;
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>()};
        if (in.bad()) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
            return 2;
        }
        // libFuzzer never passes a null pointer, not even for an empty input.
        static const std::uint8_t empty = 0;
        const auto* data =
            bytes.empty() ? &empty : reinterpret_cast<const std::uint8_t*>(bytes.data());
        LLVMFuzzerTestOneInput(data, bytes.size());
    }
    std::printf("%s: %zu inputs replayed\n", argv[0], files.size());
    return 0;
}
