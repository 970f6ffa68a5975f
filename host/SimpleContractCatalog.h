/// @file
/// SimpleContractCatalog, a ready-made IContractCatalog held in memory.
//
// A ready-made IContractCatalog held in memory, for hosts and tests that build
// their catalog from a configuration file or by hand.
#pragma once

#include <map>
#include <string>

#include "IContractCatalog.h"

namespace kra {

/// An IContractCatalog held in memory: fill it with addInstrument (or
/// addProduct and addContract) before registering the listener that hands
/// it out. Not locked: do not change it while a trader may read it.
class SimpleContractCatalog : public IContractCatalog {
public:
    virtual ~SimpleContractCatalog() = default;

    /// Adds a product, replacing one of the same code.
    void addProduct(const NXSProductInfo& product) { products[product.code] = product; }
    /// Adds a contract, replacing one of the same code.
    void addContract(const NXSContractInfo& contract) { contracts[contract.code] = contract; }

    /// Adds a contract together with a product of the same code.
    void addInstrument(const std::string& code, uint32_t volumeMultiplier,
                       const std::string& currency = "CNY", const std::string& exchange = "") {
        NXSProductInfo product;
        product.code = code;
        product.exchange = exchange;
        product.currency = currency;
        product.volumeMultiplier = volumeMultiplier;
        addProduct(product);
        NXSContractInfo contract;
        contract.code = code;
        contract.exchange = exchange;
        contract.name = code;
        contract.productCode = code;
        addContract(contract);
    }

    /// The product of the contract's productCode, or null.
    const NXSProductInfo* getProduct(const NXSContractInfo* contract) override {
        if (contract == nullptr) return nullptr;
        auto it = products.find(contract->productCode);
        return it == products.end() ? nullptr : &it->second;
    }
    /// The product of this code (any exchange), or null.
    const NXSProductInfo* findProduct(const char* productCode, const char*) override {
        if (productCode == nullptr) return nullptr;
        auto it = products.find(productCode);
        return it == products.end() ? nullptr : &it->second;
    }
    /// The number of contracts.
    uint32_t contractCount() override { return static_cast<uint32_t>(contracts.size()); }
    /// The contract of this code; a nonempty exchange must match too.
    const NXSContractInfo* getContract(const char* code, const char* exchange) override {
        if (code == nullptr) return nullptr;
        auto it = contracts.find(code);
        if (it == contracts.end()) return nullptr;
        if (exchange != nullptr && *exchange != '\0' && it->second.exchange != exchange) return nullptr;
        return &it->second;
    }

private:
    std::map<std::string, NXSProductInfo> products;
    std::map<std::string, NXSContractInfo> contracts;
};

}  // namespace kra
