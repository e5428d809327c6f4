// Runs a fuzz target's entry point over files and directories of inputs, without a fuzzing
// engine: the seed corpora become ordinary regression tests (also under the sanitizers).
// A failing input aborts inside the target; reaching the end means every input passed.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* ioArgc, char*** ioArgv);

namespace
{

bool spRunFile(const std::string& iPath)
{
    FILE* f = std::fopen(iPath.c_str(), "rb");
    if (!f)
        return false;
    std::vector<uint8_t> bytes;
    uint8_t buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

// Runs a file, or every file of a directory (names starting with "." left out); returns the
// number of inputs run.
int spRun(const std::filesystem::path& iPath)
{
    std::error_code error;
    if (!std::filesystem::is_directory(iPath, error))
        return spRunFile(iPath.string()) ? 1 : 0;
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(iPath, error))
        if (entry.path().filename().string()[0] != '.')
            count += spRun(entry.path());
    return count;
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
