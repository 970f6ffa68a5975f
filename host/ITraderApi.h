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
// network except release, which waits for the network thread to end.
//
// From inside a listener callback (the module's network thread) release and
// deleteTrader are refused alike, before they do anything: release throws
// boost::thread_resource_error (resource_deadlock_would_occur) and
// deleteTrader leaves the object and the caller's pointer as they are; each
// logs one level-104 line. Call them from a host thread.
//
// After fork() the child's copies of the parent's traders do nothing on the
// wire: requests return -1, connect and disconnect do nothing, isConnected is
// false, release returns at once without a logout, and deleteTrader sets the
// pointer to null and leaves the copy's memory to the child (its event loop
// shares the parent's descriptors). Traders the child creates work normally.
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
    // Slot 1. Reads "host", "port", "folder", "pushmode", "nodelay",
    // "peertimeout" and "sendqueue". Throws when "host" is not a numeric
    // IPv4/IPv6 address or the folder cannot be created; an init that throws
    // changes nothing. "nodelay" = 1 sets TCP_NODELAY on every connection's
    // socket, so a request never waits for the server's acknowledgement of
    // the one before (Nagle); missing or 0 keeps the platform default.
    // "peertimeout" = S (seconds; missing or 0: off) detects a dead server:
    // once the server has sent a heartbeat on the connection, S seconds
    // without a byte from it end the connection with onTraderEvent(1, 110)
    // (ETIMEDOUT) and a level-103 line, and the usual reconnect follows; each
    // socket also gets TCP_USER_TIMEOUT of S seconds and keep-alive, so a
    // server whose machine vanished fails the next unacknowledged request or
    // heartbeat after about S seconds. Choose S above the server's heartbeat
    // period. A server that never sends heartbeats is never cut for quiet.
    // "sendqueue" = bytes (missing or 0: 64 MiB) bounds the requests waiting
    // to be sent: a request that would exceed it returns -1 and is not
    // queued, with a level-104 line at most once a second; the heartbeat is
    // never refused. Only a server that stopped reading gets there.
    virtual bool init(const NXSConfigNode* config) = 0;
    // Slot 2. Logs out, closes the session and waits for the network thread.
    virtual void release() = 0;
    // Slot 3.
    virtual void registerListener(ITraderListener* listener) = 0;
    // Slot 4. Starts connecting; the outcome arrives as onTraderEvent. After
    // disconnect or release it does nothing until init (and logs a level-103
    // line that says so). A failure to start an attempt (no descriptors left,
    // say) ends it like a refused connect: onTraderEvent(0, errno) and a
    // retry two seconds later.
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
    // Slots 8 to 15 send a request: 0 when it is queued, -1 when it is
    // refused (the send queue is full; see "sendqueue").
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
