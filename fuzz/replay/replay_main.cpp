// Runs a fuzz target's entry point over files and directories of inputs, without a fuzzing
// engine: the seed corpora become ordinary regression tests (also under the sanitizers).
// A failing input aborts inside the target; reaching the end means every input passed.

#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
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

// Runs a file, or every file of a directory; returns the number of inputs run.
int spRun(const std::string& iPath)
{
    struct stat st;
    if (stat(iPath.c_str(), &st) != 0)
        return 0;
    if (!S_ISDIR(st.st_mode))
        return spRunFile(iPath) ? 1 : 0;
    int count = 0;
    if (DIR* dir = opendir(iPath.c_str()))
    {
        while (const dirent* e = readdir(dir))
            if (e->d_name[0] != '.')
                count += spRun(iPath + "/" + e->d_name);
        closedir(dir);
    }
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
