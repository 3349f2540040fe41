// vardel_bench: runs the benchmarks, prints one table and writes the same
// rows as JSON.
//
//   vardel_bench [--tiny] [--only inprocess|com] [--json PATH]
//
// Exit codes: 0 every benchmark ran and produced its figures (whether the
// goals are met or not), 1 a benchmark failed, 2 bad arguments.
#include "BenchResult.h"
#include "BenchSizes.h"
#include "ComBench.h"
#include "InProcessBench.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

using namespace VardelBench;

namespace {

int Usage(const char* problem)
{
    std::fprintf(stderr, "vardel_bench: %s\nusage: vardel_bench [--tiny] [--only inprocess|com] [--json PATH]\n",
                 problem);
    return 2;
}

bool WriteFile(const std::string& path, const std::string& text)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

// Runs one group; a failure costs that group's rows, not the others'.
template <typename F>
bool RunGroup(const char* name, F run, const CBenchSizes& sizes, std::vector<CBenchResult>& rows)
{
    std::fprintf(stderr, "vardel_bench: running the %s benchmarks\n", name);
    try {
        run(sizes, rows);
        return true;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vardel_bench: the %s benchmarks failed: %s\n", name, error.what());
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    bool tiny = false, inProcess = true, com = true;
    std::string json;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--tiny") {
            tiny = true;
        } else if (arg == "--only" && i + 1 < argc) {
            const std::string which = argv[++i];
            if (which != "inprocess" && which != "com")
                return Usage("--only takes inprocess or com");
            inProcess = which == "inprocess";
            com = which == "com";
        } else if (arg == "--json" && i + 1 < argc) {
            json = argv[++i];
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }

    const CBenchSizes& sizes = tiny ? TINY_SIZES : FULL_SIZES;
    std::vector<CBenchResult> rows;
    bool ok = true;
    if (inProcess)
        ok = RunGroup("in-process", RunInProcessBenches, sizes, rows) && ok;
    if (com)
        ok = RunGroup("COM", RunComBenches, sizes, rows) && ok;

    std::fputs(FormatTable(rows).c_str(), stdout);
    std::fflush(stdout);
    if (!json.empty() && !WriteFile(json, FormatJson(rows))) {
        std::fprintf(stderr, "vardel_bench: cannot write %s\n", json.c_str());
        ok = false;
    }
    return ok ? 0 : 1;
}
