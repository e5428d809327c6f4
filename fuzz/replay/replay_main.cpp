// Runs a fuzz target's entry point over files and directories of inputs, without a fuzzing
// engine: the seed corpora become ordinary regression tests (also under the sanitizers).
// A failing input aborts inside the target; reaching the end means every input passed.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* ioArgc, char*** ioArgv);

namespace
{

// Runs a file, or every file below a directory (names starting with "." left out); returns the
// number of inputs run.
int spRun(const std::filesystem::path& iPath)
{
    std::error_code error;
    int count = 0;
    if (std::filesystem::is_directory(iPath, error))
    {
        for (const auto& entry : std::filesystem::directory_iterator(iPath, error))
            if (entry.path().filename().string()[0] != '.')
                count += spRun(entry.path());
        return count;
    }
    std::ifstream in(iPath, std::ios::binary);
    if (!in)
        return 0;
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int count = 0;
    for (int i = 1; i < argc; ++i)
        count += spRun(argv[i]);
    std::printf("%d passed, 0 failed\n", count);
    return count > 0 ? 0 : 1;
}
