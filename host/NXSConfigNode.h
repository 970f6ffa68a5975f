/// @file
/// The host's configuration node NXSConfigNode, and the ready-made text and
/// map nodes a host builds the configuration of ITraderApi::init from.
//
// The host's configuration node, given to ITraderApi::init. Kind 0 is a text
// node, kind 2 a map from text keys to child nodes. NXSTextNode and NXSMapNode
// are concrete nodes a host or a test can build; the module only reads nodes
// and never keeps them beyond the call.
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

namespace kra {

/// A node of the host's configuration: a text, or a map of keys to nodes.
/// The module only reads nodes, during ITraderApi::init.
class NXSConfigNode {
public:
    /// What a node holds.
    enum Kind {
        KIND_TEXT = 0,  ///< a text
        KIND_MAP = 2,   ///< a map from text keys to child nodes
    };

    virtual ~NXSConfigNode() = default;

    /// KIND_TEXT or KIND_MAP.
    virtual int kind() const = 0;
    /// The child stored under exactly this key; null when this node is not a
    /// map or the key is absent.
    virtual const NXSConfigNode* child(const char* key) const = 0;
    /// The text of a text node; empty for any other node. Never null.
    virtual const char* textValue() const = 0;
    /// The text read as a decimal integer the way atoi reads it (0 when no
    /// digits lead); 0 for any other node.
    virtual int intValue() const = 0;
};

/// A text node.
class NXSTextNode : public NXSConfigNode {
public:
    /// A node holding value.
    explicit NXSTextNode(std::string value) : text(std::move(value)) {}

    int kind() const override { return KIND_TEXT; }
    const NXSConfigNode* child(const char*) const override { return nullptr; }
    const char* textValue() const override { return text.c_str(); }
    int intValue() const override { return std::atoi(text.c_str()); }

private:
    std::string text;
};

/// A map node: `config.set("host", "127.0.0.1").set("port", "4400")`.
class NXSMapNode : public NXSConfigNode {
public:
    int kind() const override { return KIND_MAP; }
    const NXSConfigNode* child(const char* key) const override {
        if (key == nullptr) return nullptr;
        auto it = children.find(key);
        return it == children.end() ? nullptr : it->second.get();
    }
    const char* textValue() const override { return ""; }
    int intValue() const override { return 0; }

    /// Stores a text child under key, replacing any child of that key.
    NXSMapNode& set(const std::string& key, const std::string& text) {
        children[key] = std::make_unique<NXSTextNode>(text);
        return *this;
    }
    /// Stores any child node under key, taking ownership.
    NXSMapNode& set(const std::string& key, std::unique_ptr<NXSConfigNode> node) {
        children[key] = std::move(node);
        return *this;
    }

private:
    std::map<std::string, std::unique_ptr<NXSConfigNode>> children;
};

}  // namespace kra
