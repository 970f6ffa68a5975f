// A ready-made IContractCatalog held in memory, for hosts and tests that build
// their catalog from a configuration file or by hand.
#pragma once

#include <map>
#include <string>

#include "IContractCatalog.h"

namespace kra {

class SimpleContractCatalog : public IContractCatalog {
public:
    virtual ~SimpleContractCatalog() = default;

    void addProduct(const NXSProductInfo& product) { products[product.code] = product; }
    void addContract(const NXSContractInfo& contract) { contracts[contract.code] = contract; }

    // Adds a contract together with a product of the same code.
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

    const NXSProductInfo* getProduct(const NXSContractInfo* contract) override {
        if (contract == nullptr) return nullptr;
        auto it = products.find(contract->productCode);
        return it == products.end() ? nullptr : &it->second;
    }
    const NXSProductInfo* findProduct(const char* productCode, const char*) override {
        if (productCode == nullptr) return nullptr;
        auto it = products.find(productCode);
        return it == products.end() ? nullptr : &it->second;
    }
    uint32_t contractCount() override { return static_cast<uint32_t>(contracts.size()); }
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
