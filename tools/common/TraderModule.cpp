#include "common/TraderModule.h"

#include <dlfcn.h>

namespace hvr::tools {

std::unique_ptr<TraderModule> TraderModule::load(const std::string& path, std::string& error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "dlopen failed";
        return nullptr;
    }
    auto create = reinterpret_cast<kra::CreateTraderFunc>(dlsym(handle, "createTrader"));
    auto destroy = reinterpret_cast<kra::DeleteTraderFunc>(dlsym(handle, "deleteTrader"));
    if (create == nullptr || destroy == nullptr) {
        error = path + " does not export createTrader and deleteTrader";
        dlclose(handle);
        return nullptr;
    }
    return std::unique_ptr<TraderModule>(new TraderModule(handle, create, destroy));
}

TraderModule::~TraderModule() { dlclose(handle); }

}  // namespace hvr::tools
