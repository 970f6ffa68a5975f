// The host's trading interface, implemented by a trader module, and the two
// plain functions the module exports.
//
// The slot order below is the binary contract with hosts: never reorder,
// insert or remove a virtual function.
//
// Building against these headers: C++14 or later (the module itself is built
// as C++17). Installed, they live under include/traderhvr/ and are included
// as <traderhvr/ITraderApi.h>; find_package(TraderHVR) gives the target
// TraderHVR::host, pkg-config the package traderhvr.
//
// Finding the module: a host does not link libTraderHVR.so, it loads it
// with dlopen and looks up createTrader and deleteTrader with dlsym. Give
// dlopen the full path the package states (CMake: TraderHVR_MODULE;
// pkg-config: the variable module), or the bare name libTraderHVR.so.1 with
// the installed lib/ folder on LD_LIBRARY_PATH or in the loader's cache.
//
// Driving order: createTrader, init, registerListener, connect; on
// onTraderEvent(0, 0) login, then orders and queries; release, deleteTrader.
// Every operation may be called from any host thread. None waits for the
// network except release, which waits for the network thread to end and so
// must never be called from inside a listener callback.
//
// Process-wide: at the first successful login the module installs a SIGBUS
// handler, so that a flow file truncated under a running trader does not
// kill the host. It acts only on faults in its own flow-file mappings and
// hands every other SIGBUS to the handler installed before it (or to the
// default action); it is put back when the module is unloaded. A host that
// installs its own SIGBUS handler later should chain to the one it replaces.
#pragma once

#include <cstdint>

#include "ITraderListener.h"
#include "NXSConfigNode.h"
#include "NXSObject.h"
#include "NXSRecords.h"

namespace kra {

class ITraderApi {
public:
    // Slot 0.
    virtual ~ITraderApi() {}
    // Slot 1. Reads "host", "port", "folder", "pushmode" and "nodelay". Throws
    // when "host" is not a numeric IPv4/IPv6 address or the folder cannot be
    // created. "nodelay" = 1 sets TCP_NODELAY on every connection's socket, so
    // a request never waits for the server's acknowledgement of the one before
    // (Nagle); missing or 0 keeps the platform default.
    virtual bool init(const NXSConfigNode* config) = 0;
    // Slot 2. Logs out, closes the session and waits for the network thread.
    virtual void release() = 0;
    // Slot 3.
    virtual void registerListener(ITraderListener* listener) = 0;
    // Slot 4. Starts connecting; the outcome arrives as onTraderEvent.
    virtual void connect() = 0;
    // Slot 5. Closes the connection and stops reconnecting until init. Reports
    // onTraderEvent(1, 0) before it returns; a (0, 0) being delivered at that
    // moment returns first, and none follows until the next connect.
    virtual void disconnect() = 0;
    // Slot 6.
    virtual bool isConnected() = 0;
    // Slot 7. Writes a locally unique entrust id "date.session.sequence";
    // false, with the buffer zeroed, when it does not fit whole.
    virtual bool makeEntrustId(char* buffer, int length) {
        (void)buffer;
        (void)length;
        return false;
    }
    // Slot 8.
    virtual int login(const char* user, const char* password, const char* resource) = 0;
    // Slot 9.
    virtual int logout() = 0;
    // Slot 10. The module reads the entrust during the call only.
    virtual int orderInsert(NXSEntrust* entrust) = 0;
    // Slot 11. Returns -1 when the action does not ask for a cancel.
    virtual int orderCancel(NXSOrderAction* action) = 0;
    // Slots 12 to 15.
    virtual int queryAccount() = 0;
    virtual int queryPositions() = 0;
    virtual int queryOrders() = 0;
    virtual int queryTrades() = 0;
};

// Types of the exported functions, for dlsym.
using CreateTraderFunc = ITraderApi* (*)();
using DeleteTraderFunc = void (*)(ITraderApi*&);

}  // namespace kra

// Exported by the module under these plain names.
extern "C" {
kra::ITraderApi* createTrader();
// Destroys the trader and sets the caller's pointer to null; null is ignored.
void deleteTrader(kra::ITraderApi*& trader);
}
