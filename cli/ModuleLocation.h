// Where hvr-host finds libTraderHVR.so when --module is not given.
#pragma once

#include <string>
#include <vector>

namespace hvr::cli {

// Candidates in order: the installed module relative to the executable's
// folder (bin/../lib/libTraderHVR.so.1), then the build tree's
// (cli/../libTraderHVR.so). The first that exists wins; when none does,
// the bare soname, which dlopen looks up on the loader's search path
// (LD_LIBRARY_PATH, ld.so.cache).
std::string defaultModulePath(const std::string& executableDir, const std::vector<std::string>& relativeCandidates,
                              const std::string& soname);

// The folder of the running executable (/proc/self/exe); empty if unknown.
std::string executableDir();

}  // namespace hvr::cli
