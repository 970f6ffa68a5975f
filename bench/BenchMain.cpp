// hvr_bench: every figure of BENCHMARKS.md in one run, adapter and baseline
// measured in the same process (the footprint in forks of it). Prints one
// table (Markdown) to stdout.
//
//   hvr_bench [--only footprint|inbound|loopback|outbound|roundtrip|pair|scale|scale10k] [--many N]
//             [--threads own|shared] [--pool N]
//
// scale10k (10,000 traders in this process) runs only when named
// (`make bench-scale10k`); --many N runs it with N traders, --threads own in
// the default mode (one thread each, which needs raised limits). --pool N:
// the shared mode's pool in the scale figures (default: one thread per CPU).
#include <stdlib.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>

#include "Figures.h"

int main(int argc, char** argv) {
    using namespace hvr::bench;
    Options options;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else if (std::strcmp(argv[i], "--many") == 0 && i + 1 < argc) {
            options.many = static_cast<std::size_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
            options.manyThreads = std::strcmp(argv[++i], "own") == 0 ? Threads::Own : Threads::Shared;
        } else if (std::strcmp(argv[i], "--pool") == 0 && i + 1 < argc) {
            options.poolThreads = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            std::fprintf(stderr,
                         "usage: %s [--only footprint|inbound|loopback|outbound|roundtrip|pair|scale|scale10k] "
                         "[--many N] [--threads own|shared] [--pool N]\n",
                         argv[0]);
            return 2;
        }
    }
    std::string scratch = (boost::filesystem::temp_directory_path() / "hvr-bench-XXXXXX").string();
    if (::mkdtemp(&scratch[0]) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    options.folder = scratch + "/";

    const std::pair<const char*, std::function<std::vector<Row>(const Options&)>> figures[] = {
        // The footprint first: it forks, which is simplest while this process
        // has no other thread.
        {"footprint", runFootprint}, {"inbound", runInboundInProcess}, {"loopback", runInboundLoopback},
        {"outbound", runOutbound},   {"roundtrip", runRoundTrip},      {"pair", runOrderPair},
        {"scale", runScale},
    };
    // Heavier, and it needs raised limits: only when asked for by name.
    const std::pair<const char*, std::function<std::vector<Row>(const Options&)>> optional[] = {
        {"scale10k", runScaleMany},
    };
    int status = 0;
    std::cout << "| figure | adapter | baseline | ratio | goal |\n|---|---:|---:|---:|---|\n" << std::flush;
    auto run = [&](const char* name, const std::function<std::vector<Row>(const Options&)>& figure) {
        std::fprintf(stderr, "hvr_bench: %s ...\n", name);
        try {
            for (const Row& row : figure(options))
                std::cout << "| " << row.figure << " | " << row.adapter << " | " << row.baseline << " | " << row.ratio
                          << " | " << row.goal << " |\n" << std::flush;
        } catch (const std::exception& e) {
            std::cout << "| " << name << ": FAILED (" << e.what() << ") | - | - | - | - |\n" << std::flush;
            std::fprintf(stderr, "hvr_bench: %s FAILED: %s\n", name, e.what());
            status = 1;
        }
    };
    for (const auto& [name, figure] : figures)
        if (only.empty() || only == name) run(name, figure);
    for (const auto& [name, figure] : optional)
        if (only == name) run(name, figure);
    boost::system::error_code ignored;
    boost::filesystem::remove_all(scratch, ignored);
    return status;
}
