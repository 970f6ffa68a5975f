#include "python/src/ModuleRegistry.h"

#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace hvr::python {

namespace {

std::string resolvedPath(const std::string& path) {
    char resolved[PATH_MAX];
    // A bare file name is left to the dynamic loader's search path.
    if (path.find('/') == std::string::npos) return path;
    if (realpath(path.c_str(), resolved) == nullptr) return path;  // dlopen reports what is wrong
    return resolved;
}

struct LoadedModule {
    std::string path;
    // Never destroyed: see the header.
    tools::TraderModule* module = nullptr;
};

std::mutex loadLock;
LoadedModule loaded;  // guarded by loadLock

}  // namespace

const tools::TraderModule& loadTraderModule(const std::string& path) {
    const std::string resolved = resolvedPath(path);
    std::lock_guard<std::mutex> hold(loadLock);
    if (loaded.module != nullptr) {
        if (resolved != loaded.path)
            throw std::runtime_error("this process already loaded the trader module " + loaded.path +
                                     "; a second module file (" + resolved + ") cannot be loaded beside it");
        return *loaded.module;
    }
    std::string error;
    std::unique_ptr<tools::TraderModule> module = tools::TraderModule::load(resolved, error);
    if (!module) throw std::runtime_error("cannot load the trader module " + resolved + ": " + error);
    loaded.path = resolved;
    loaded.module = module.release();
    return *loaded.module;
}

}  // namespace hvr::python
