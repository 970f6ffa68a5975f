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

class NXSObject {
public:
    NXSObject() { refCount.store(1, std::memory_order_release); }
    NXSObject(const NXSObject&) = delete;
    NXSObject& operator=(const NXSObject&) = delete;

    // Slot 0.
    virtual ~NXSObject() = default;

    // Slot 1. Drops one reference; the thread whose decrement takes the count
    // from 1 to 0 destroys the object, so concurrent last releases destroy it
    // exactly once. A count already at 0 is left alone.
    virtual void release() {
        if (refCount.load(std::memory_order_acquire) == 0) return;
        if (refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    // Adds one reference. The module never calls it; a listener that keeps an
    // object does.
    void retain() { refCount.fetch_add(1, std::memory_order_relaxed); }

    uint32_t retainCount() const { return refCount.load(std::memory_order_acquire); }

protected:
    std::atomic<uint32_t> refCount;
};

// An ordered sequence of objects, used for query answers. It has no lock: it is
// filled by one thread before it is handed over and only read afterwards.
class NXSArray : public NXSObject {
public:
    static NXSArray* create() { return new NXSArray(); }

    // Takes over the caller's reference to obj (no retain).
    void append(NXSObject* obj) { items.push_back(obj); }

    std::size_t count() const { return items.size(); }
    NXSObject* at(std::size_t index) const { return index < items.size() ? items[index] : nullptr; }

    // Typed element access for hosts that know what the array carries.
    template <typename T>
    T* itemAs(std::size_t index) const { return static_cast<T*>(at(index)); }

    // When the count reaches 0, releases every non-null element once, first to
    // last, then destroys the array.
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
    NXSArray() = default;
    // Frees the sequence's storage only; elements are released by release().
    ~NXSArray() override = default;

private:
    std::vector<NXSObject*> items;
};

// An error reported to the host. Codes made by the trader module:
//   1  an order insert was refused; message is the server's text
//   2  an order cancel was refused; message is the text of the result code
class NXSError : public NXSObject {
public:
    static NXSError* create(int32_t code, const char* message) {
        NXSError* error = new NXSError();
        error->code = code;
        error->message = message != nullptr ? message : "";
        return error;
    }

    int32_t code = 0;
    std::string message;

protected:
    NXSError() = default;
};

}  // namespace kra
