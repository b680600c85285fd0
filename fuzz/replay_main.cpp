// Runs a fuzz target over every file of the folders (or files) given on the
// command line, without libFuzzer: the inputs that once failed stay tested by
// an ordinary build.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int run_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> read((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Exactly the input's bytes on the heap, so that the sanitizer sees a
    // read past the last payload (the buffer filled while reading is larger).
    const std::vector<uint8_t> bytes(read.begin(), read.end());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    inputs += run_file(entry.path());
                }
            }
        } else if (std::filesystem::exists(path)) {
            inputs += run_file(path);
        }
    }
    // The empty input always runs too.
    LLVMFuzzerTestOneInput(nullptr, 0);
    std::printf("%d inputs replayed\n", inputs);
    return 0;
}
