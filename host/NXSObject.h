/// @file
/// Reference-counted objects that cross the boundary between host and module:
/// NXSObject, NXSArray and NXSError, with the counting rules.
//
// Reference-counted objects that cross the boundary between the trading host
// and a trader module: the root NXSObject, the container NXSArray and the
// error object NXSError. Host and module compile these same definitions, so
// both sides agree on layout, counting and destruction.
//
// Counting rules:
//   - A new object starts with a count of 1: the creator's reference.
//   - retain() adds one reference; release() drops one and destroys the object
//     when the count reaches 0. Both are atomic and may run on any thread.
//   - The module creates every object it hands to a listener, makes the one
//     listener call and releases it right after the call returns. A listener
//     that keeps an object beyond the call must retain() it during the call
//     and release() it when done.
//   - An NXSArray owns one reference to each element: append() takes over the
//     caller's reference. An array must be disposed of through release(),
//     never by delete: only release() releases the elements.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kra {

/// The root of every object that crosses the boundary: a count of references
/// that starts at 1 (the creator's) and whose last release destroys the
/// object.
class NXSObject {
public:
    /// A new object with a count of 1.
    NXSObject() { refCount.store(1, std::memory_order_release); }
    NXSObject(const NXSObject&) = delete;
    NXSObject& operator=(const NXSObject&) = delete;

    /// Slot 0.
    virtual ~NXSObject() = default;

    /// Slot 1. Drops one reference; the thread whose decrement takes the count
    /// from 1 to 0 destroys the object, so concurrent last releases destroy it
    /// exactly once. A count already at 0 is left alone.
    virtual void release() {
        if (refCount.load(std::memory_order_acquire) == 0) return;
        if (refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    /// Adds one reference. The module never calls it; a listener that keeps an
    /// object does.
    void retain() { refCount.fetch_add(1, std::memory_order_relaxed); }

    /// The number of references now.
    uint32_t retainCount() const { return refCount.load(std::memory_order_acquire); }

protected:
    std::atomic<uint32_t> refCount;  ///< references held; 1 at creation
};

/// An ordered sequence of objects, used for query answers. It has no lock: it
/// is filled by one thread before it is handed over and only read afterwards.
class NXSArray : public NXSObject {
public:
    /// A new, empty array with a count of 1.
    static NXSArray* create() { return new NXSArray(); }

    /// Takes over the caller's reference to obj (no retain).
    void append(NXSObject* obj) { items.push_back(obj); }

    /// The number of elements.
    std::size_t count() const { return items.size(); }
    /// The element at index, or null past the end.
    NXSObject* at(std::size_t index) const { return index < items.size() ? items[index] : nullptr; }

    /// Typed element access for hosts that know what the array carries (each
    /// query answer carries one record type, see ITraderListener).
    template <typename T>
    T* itemAs(std::size_t index) const { return static_cast<T*>(at(index)); }

    /// When the count reaches 0, releases every non-null element once, first
    /// to last, then destroys the array.
    void release() override {
        if (refCount.load(std::memory_order_acquire) == 0) return;
        if (refCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        for (NXSObject* item : items) {
            if (item != nullptr) item->release();
        }
        items.clear();
        delete this;
    }

protected:
    /// Use create().
    NXSArray() = default;
    /// Frees the sequence's storage only; elements are released by release().
    ~NXSArray() override = default;

private:
    std::vector<NXSObject*> items;
};

/// NXSError::code of a refused order insert (ITraderListener::onEntrustAnswer);
/// the message is the server's text.
constexpr int32_t ERROR_ORDER_REFUSED = 1;
/// NXSError::code of a refused cancel (ITraderListener::onTraderError); the
/// message is the text of the server's result code (docs/log-lines.md).
constexpr int32_t ERROR_CANCEL_REFUSED = 2;

/// An error reported to the host. Codes made by the trader module:
/// ERROR_ORDER_REFUSED (1) and ERROR_CANCEL_REFUSED (2).
class NXSError : public NXSObject {
public:
    /// A new error (count 1); a null message reads as empty.
    static NXSError* create(int32_t code, const char* message) {
        NXSError* error = new NXSError();
        error->code = code;
        error->message = message != nullptr ? message : "";
        return error;
    }

    int32_t code = 0;     ///< ERROR_ORDER_REFUSED or ERROR_CANCEL_REFUSED
    std::string message;  ///< GBK text

protected:
    /// Use create().
    NXSError() = default;
};

}  // namespace kra
