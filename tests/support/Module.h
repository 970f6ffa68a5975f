// Loads the trader module the way a host does: dlopen, then the two plain
// entry points.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "host/ITraderApi.h"

namespace hvr::test {

class Module {
public:
    Module() {
        handle = ::dlopen(HVR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
        create = reinterpret_cast<kra::CreateTraderFunc>(::dlsym(handle, "createTrader"));
        destroy = reinterpret_cast<kra::DeleteTraderFunc>(::dlsym(handle, "deleteTrader"));
        if (create == nullptr || destroy == nullptr) throw std::runtime_error("entry points missing");
    }
    // The module stays loaded for the life of the process, as hosts keep
    // their plug-ins; unloading would also hide leaks from the sanitizer.
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    kra::CreateTraderFunc create = nullptr;
    kra::DeleteTraderFunc destroy = nullptr;

private:
    void* handle = nullptr;
};

// The process-wide module.
inline Module& module() {
    static Module instance;
    return instance;
}

}  // namespace hvr::test
