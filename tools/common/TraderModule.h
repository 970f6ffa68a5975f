// A trader module loaded the way a trading host loads one: dlopen, then the
// two exported functions createTrader and deleteTrader found with dlsym.
//
// Ownership: the module object owns the library handle and closes it when
// destroyed, so every trader made from it must be deleted (deleteTrader)
// before the module object goes away.
#pragma once

#include <memory>
#include <string>

#include "host/ITraderApi.h"

namespace hvr::tools {

class TraderModule {
public:
    // Null, with the loader's reason in error, when the file cannot be loaded
    // or lacks either function.
    static std::unique_ptr<TraderModule> load(const std::string& path, std::string& error);
    ~TraderModule();

    TraderModule(const TraderModule&) = delete;
    TraderModule& operator=(const TraderModule&) = delete;

    kra::ITraderApi* createTrader() const { return create(); }
    // Destroys the trader and sets the pointer to null.
    void deleteTrader(kra::ITraderApi*& trader) const { destroy(trader); }

private:
    TraderModule(void* handle, kra::CreateTraderFunc create, kra::DeleteTraderFunc destroy)
        : handle(handle), create(create), destroy(destroy) {}

    void* handle;
    kra::CreateTraderFunc create;
    kra::DeleteTraderFunc destroy;
};

}  // namespace hvr::tools
