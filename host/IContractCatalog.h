// The host's contract catalog, handed out by ITraderListener::getContractCatalog.
// It belongs to the host; the module only reads it, on its network thread,
// while converting a position answer. Returned records stay owned by the
// catalog and must stay valid while the catalog does.
#pragma once

#include <cstdint>
#include <string>

namespace kra {

struct NXSProductInfo {
    std::string code;
    std::string exchange;
    std::string currency = "CNY";
    uint32_t volumeMultiplier = 1;
};

struct NXSContractInfo {
    std::string code;
    std::string exchange;
    std::string name;
    std::string productCode;
};

class IContractCatalog {
public:
    // Slot 0: the product a contract belongs to, or null.
    virtual const NXSProductInfo* getProduct(const NXSContractInfo* contract) = 0;
    // Slot 1: a product by its code, or null.
    virtual const NXSProductInfo* findProduct(const char* productCode, const char* exchange) = 0;
    // Slot 2: how many contracts the catalog holds.
    virtual uint32_t contractCount() = 0;
    // Slot 3: a contract by code; an empty exchange matches any exchange.
    // Returns null for an unknown code.
    virtual const NXSContractInfo* getContract(const char* code, const char* exchange) = 0;

protected:
    // The catalog is never deleted through this interface.
    ~IContractCatalog() = default;
};

}  // namespace kra
