/// @file
/// The host's contract catalog IContractCatalog and the records it hands out.
//
// The host's contract catalog, handed out by ITraderListener::getContractCatalog.
// It belongs to the host; the module only reads it, on its network thread,
// while converting a position answer. Returned records stay owned by the
// catalog and must stay valid while the catalog does.
#pragma once

#include <cstdint>
#include <string>

namespace kra {

/// A product: what the contracts of one underlying share.
struct NXSProductInfo {
    std::string code;               ///< product code
    std::string exchange;           ///< exchange code
    std::string currency = "CNY";   ///< currency of positions in it (NXSPositionItem::currency)
    uint32_t volumeMultiplier = 1;  ///< units per lot; divides NXSPositionItem::avgPrice
};

/// A tradable contract (an instrument).
struct NXSContractInfo {
    std::string code;         ///< instrument code, as the server sends it
    std::string exchange;     ///< exchange code
    std::string name;         ///< readable name
    std::string productCode;  ///< NXSProductInfo::code of its product
};

/// The contracts a host knows. The module reads it on its network thread
/// while converting a position answer: positions of unknown instruments are
/// left out.
class IContractCatalog {
public:
    /// Slot 0: the product a contract belongs to, or null.
    virtual const NXSProductInfo* getProduct(const NXSContractInfo* contract) = 0;
    /// Slot 1: a product by its code, or null.
    virtual const NXSProductInfo* findProduct(const char* productCode, const char* exchange) = 0;
    /// Slot 2: how many contracts the catalog holds.
    virtual uint32_t contractCount() = 0;
    /// Slot 3: a contract by code; an empty exchange matches any exchange.
    /// Returns null for an unknown code.
    virtual const NXSContractInfo* getContract(const char* code, const char* exchange) = 0;

protected:
    /// The catalog is never deleted through this interface.
    ~IContractCatalog() = default;
};

}  // namespace kra
