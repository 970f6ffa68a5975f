/// @file
/// The host's trading interface ITraderApi, implemented by a trader module,
/// the two plain functions the module exports, and the values its operations
/// return.
//
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
// network except release, which waits for the network thread's close step;
// release and deleteTrader from inside a listener callback are refused (see
// below). The init key "threads" chooses a network thread of the trader's
// own (the default) or the process's shared pool (see ITraderApi).
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

/// @name Results of the int-returning ITraderApi operations
/// Every int an operation returns is one of these two. None of them is a
/// request number, and none says anything about the server: its answer
/// arrives later through the ITraderListener.
/// @{

/// The request was queued for sending (it leaves at once when connected,
/// otherwise with the next connection).
constexpr int REQUEST_QUEUED = 0;
/// Refused locally: nothing was queued or sent; a level-104 log line says why
/// where there is a reason to give.
constexpr int REQUEST_REFUSED = -1;
/// @}

/// The trading interface of a trader module: one object per server
/// connection, made by createTrader and destroyed by deleteTrader.
///
/// Driving order: createTrader, init, registerListener, connect; on
/// ITraderListener::onTraderEvent(0, 0) login, then orders and queries;
/// release, deleteTrader. Every operation may be called from any host thread.
/// None waits for the network except release.
///
/// From inside a listener callback (the module's network thread) release and
/// deleteTrader are refused alike, before they do anything: release throws
/// boost::thread_resource_error (resource_deadlock_would_occur, a
/// std::exception) and deleteTrader leaves the object and the caller's
/// pointer as they are; each logs one level-104 line. Call them from a host
/// thread. A plain `delete` of the trader there cannot be refused: it logs
/// one level-104 line and ends the process with std::abort(), as the network
/// thread would otherwise go on in the freed object.
///
/// Descriptors the module opens (sockets, its event loop's, flow files) are
/// close-on-exec: programs the host starts do not get them. A flow file's
/// mapping, and with it the file's lock, is not inherited by fork().
///
/// After fork() the child's copies of the parent's traders do nothing on the
/// wire: requests return REQUEST_REFUSED, connect and disconnect do nothing,
/// isConnected is false, release returns at once without a logout, and
/// deleteTrader sets the pointer to null and leaves the copy's memory to the
/// child (its event loop shares the parent's descriptors). Traders the child
/// creates work normally.
///
/// <b>Network threads.</b> By default each trader has a network thread of its
/// own, started by its first connect and ended by release. With the init key
/// "threads" = "shared" the trader runs instead on the process's pool of
/// network threads: a few event loops, one thread each, made by the first
/// trader that asks for it with "poolthreads" threads (missing or 0: one per
/// CPU; a later trader's count is not used) and ended when the last trader
/// that used it is deleted. The first connect after createTrader or release
/// binds the trader to the pool thread with the fewest traders, until its
/// release; the key an init gives takes effect at that connect. What a host
/// can rely on in the shared mode:
/// - The listener calls the module makes on its own (all but those made
///   inside an ITraderApi call on the caller's thread, as in the default mode:
///   logMessage lines of that call and the (1, 0) of disconnect) come from
///   the one pool thread the trader is bound to, never two at once. Other
///   traders' calls come from the same thread, one after the other: a
///   listener that takes long delays every trader on its thread (pushes,
///   answers, heartbeats, reconnects), as does a large answer's decoding.
/// - The two-second wait before a reconnect is a timer, never a sleep of the
///   thread: the other traders go on meanwhile (and a connect during the wait
///   starts at once). So is the wait of our own close for the server's
///   acknowledgement (up to 0.3 s, see release).
/// - release waits for the trader's close step on its pool thread (behind
///   whatever that thread runs now), not for a thread to end; deleteTrader is
///   safe right after it. On any pool thread release and deleteTrader are
///   refused for every trader, as they are on a trader's own thread: a pool
///   thread never waits for a close step.
/// - Descriptors: each trader holds its socket (and, during a login, its flow
///   file for a moment); each pool thread an epoll descriptor and an eventfd.
/// - The flow record, "peertimeout", "sendqueue", "nodelay", fork, every log
///   line and every event behave exactly as in the default mode.
/// - A pool thread never waits for another trader's work: no lock is shared
///   between traders while a listener runs. (A host's own call can wait: a
///   disconnect made from one trader's callback for another trader waits for
///   that trader's (0, 0) being delivered to return, as in the default mode.)
class ITraderApi {
public:
    /// Slot 0. Runs release's close step if the host skipped release. From
    /// inside one of the trader's own listener callbacks it ends the process
    /// (see the class comment): use deleteTrader.
    virtual ~ITraderApi() {}
    /// Slot 1: configures the trader; may be called again later, and is the
    /// only call that undoes disconnect.
    ///
    /// Keys of the map node: "host" (a numeric IPv4 or IPv6 address; no name
    /// lookup), "port", "folder" (prefix of `<user>.flow`, created with its
    /// parents; end it with '/'), "pushmode" (0 resume from the flow file,
    /// 1 new pushes only, 2 the whole day), "nodelay" (1 sets TCP_NODELAY
    /// on every connection's socket; missing or 0 keeps the platform
    /// default), "peertimeout" and "sendqueue" (below), "threads" ("shared":
    /// the process's pool of network threads; anything else or missing: a
    /// thread of the trader's own) and "poolthreads" (the pool's threads when
    /// this trader makes it; missing or 0: one per CPU; at most 256), see the
    /// class comment. A missing key reads as empty text or 0.
    ///
    /// "peertimeout" = S seconds (missing or 0: off, the connection has no
    /// time-out of its own) detects a dead server. Once the server has sent a
    /// heartbeat of its own on the connection, S seconds without a byte from
    /// it end the connection with onTraderEvent(1, 110) (ETIMEDOUT) and a
    /// level-103 line, and the usual reconnect follows two seconds later.
    /// Only the server's own heartbeats arm this watch: a heartbeat received
    /// counts as the server's own only when more have arrived than the module
    /// sent (one every ten seconds), so the echo of the module's heartbeat
    /// does not, and a server that only echoes is never cut for being quiet,
    /// whatever S is. Each socket also gets TCP_USER_TIMEOUT of S seconds and
    /// keep-alive, so a server whose machine vanished fails the next
    /// unacknowledged request or heartbeat after about S seconds (an option
    /// the system refuses is named in a level-103 line). Choose S above the
    /// server's heartbeat period; a server that never sends heartbeats is
    /// never cut for being quiet.
    ///
    /// "sendqueue" = bytes (missing or 0: 64 MiB) bounds the requests waiting
    /// to be sent: a request that would exceed it is refused
    /// (REQUEST_REFUSED, nothing queued) with a level-104 line at most once a
    /// second while refusals go on, and one more for those not yet counted
    /// when the queue has drained or at release, so that the lines add up to
    /// every refusal; the heartbeat is never refused. Only a server that
    /// stopped reading gets there.
    ///
    /// Numbers keep the reading they always had ("port" as its low 16 bits:
    /// 70000 is 4464), but a "port" that is not a whole number from 1 to
    /// 65535, or a "peertimeout" or "sendqueue" that is not a whole number,
    /// is named in a level-103 line with the value used: by init, or by
    /// registerListener when no listener was registered yet.
    ///
    /// Called on a host thread while release runs, init waits for release
    /// to end and then configures the released trader. From inside a
    /// listener callback during release it stores the settings and leaves the
    /// trader released: connect then does nothing until the next init.
    ///
    /// @return true whenever it returns.
    /// @throws std::runtime_error (a std::exception; precisely
    ///   boost::system::system_error, or its subclass
    ///   boost::filesystem::filesystem_error) when "host" is not a numeric
    ///   address or the folder cannot be created. what() names the problem.
    ///   Catch std::exception: a host needs no Boost header for it. The
    ///   exception's code lives in the module: let the catch end before
    ///   dlclose (copy what() first), or its destruction jumps into unmapped
    ///   memory. An init that throws changes nothing.
    virtual bool init(const NXSConfigNode* config) = 0;
    /// Slot 2: logs out, closes the session and waits for the network thread
    /// to end (in the shared mode: for the close step on the trader's pool
    /// thread). Queued requests it cannot send are reported at level 104, and
    /// so are requests the server had not acknowledged when the connection
    /// closed (the close waits up to 0.3 s for that acknowledgement: what
    /// the server acknowledged reaches it, whatever the close does). The
    /// object may be configured and connected again afterwards. A second
    /// release while one runs returns once the first has finished, and does
    /// nothing more. From inside a listener callback, and on any pool thread,
    /// it is refused (it would wait for its own thread): see the class
    /// comment.
    virtual void release() = 0;
    /// Slot 3: the listener every report goes to (null: none). Asks it for
    /// its contract catalog now, and keeps that until the next registration.
    /// Register before connect.
    virtual void registerListener(ITraderListener* listener) = 0;
    /// Slot 4: starts connecting (and the network thread) and returns at
    /// once. The outcome arrives as ITraderListener::onTraderEvent(0, code);
    /// after any failure the module tries again two seconds later, without
    /// limit, until disconnect or release. An attempt that cannot start (no
    /// descriptors left, say) ends like a refused connect, with
    /// onTraderEvent(0, errno). After disconnect or release it does nothing
    /// until init, and logs a level-103 line that says so.
    virtual void connect() = 0;
    /// Slot 5: closes the connection and stops reconnecting until init.
    /// Reports onTraderEvent(1, 0) before it returns; a (0, 0) being
    /// delivered at that moment returns first, and none follows until the
    /// next connect. The close itself happens on the network thread, as
    /// release's does (requests the server had not acknowledged are reported;
    /// see release).
    virtual void disconnect() = 0;
    /// Slot 6: true while a connection is being made or is up.
    virtual bool isConnected() = 0;
    /// Slot 7: writes a locally unique entrust id "date.session.sequence"
    /// (at most 32 characters and the terminating zero) for
    /// NXSEntrust::userTag.
    /// @return true when written; false, with the buffer zeroed, when the
    ///   buffer is null or too short for the whole id.
    virtual bool makeEntrustId(char* buffer, int length) {
        (void)buffer;
        (void)length;
        return false;
    }
    /// Slot 8: queues a login (the password travels as its MD5 digest). A
    /// login does not survive a reconnect: log in again on every
    /// onTraderEvent(0, 0). Null texts read as empty.
    /// @return REQUEST_QUEUED (0); REQUEST_REFUSED (-1) when the send queue
    ///   is full (see "sendqueue"). The outcome arrives as
    ///   ITraderListener::onLoginResult.
    virtual int login(const char* user, const char* password, const char* resource) = 0;
    /// Slot 9: queues a logout. release sends one by itself.
    /// @return REQUEST_QUEUED (0); REQUEST_REFUSED (-1) when the send queue
    ///   is full. No answer follows.
    virtual int logout() = 0;
    /// Slot 10: queues an order. The module reads the entrust during the call
    /// only and never retains or releases it.
    ///
    /// Queued is not sent: requests are written only on an established
    /// connection. An order placed while there is none (after disconnect or
    /// release, or after a lost connection while the module reconnects)
    /// returns REQUEST_QUEUED all the same, waits in the queue (after
    /// disconnect or release until init and connect) and goes out first on
    /// the next connection, ahead of the login the host sends on
    /// ITraderListener::onTraderEvent(0, 0): a server that wants a login first
    /// refuses it, as an NXSError of code ERROR_ORDER_REFUSED in
    /// onEntrustAnswer (hvr-sim's text: "not logged in"). Hold orders until
    /// the next login has succeeded. The same holds for every other request.
    /// @return REQUEST_QUEUED (0); REQUEST_REFUSED (-1) with nothing sent for
    ///   a null entrust or a price that is not a number or does not fit the
    ///   wire (a level-104 log line names the instrument and the price), or
    ///   when the send queue is full (see "sendqueue"). The
    ///   server's answer arrives as ITraderListener::onEntrustAnswer.
    virtual int orderInsert(NXSEntrust* entrust) = 0;
    /// Slot 11: queues a cancel of the order NXSOrderAction::orderId.
    /// @return REQUEST_QUEUED (0); REQUEST_REFUSED (-1) with nothing sent for
    ///   a null action or an actionFlag other than ACTION_FLAG_CANCEL, or when
    ///   the send queue is full. A
    ///   cancel that works shows as the order's ORDER_STATE_CANCELLED push; a
    ///   refused one arrives as ITraderListener::onTraderError, which does
    ///   not name the order (the server answers cancels in order).
    virtual int orderCancel(NXSOrderAction* action) = 0;
    /// Slot 12: queues a query of the funds.
    /// @return REQUEST_QUEUED (0); REQUEST_REFUSED (-1) when the send queue
    ///   is full. The answer arrives as ITraderListener::onAccountAnswer.
    virtual int queryAccount() = 0;
    /// Slot 13: queues a query of the positions.
    /// @return REQUEST_QUEUED (0); REQUEST_REFUSED (-1) when the send queue
    ///   is full. The answer arrives as ITraderListener::onPositionsAnswer.
    virtual int queryPositions() = 0;
    /// Slot 14: queues a query of the day's orders.
    /// @return REQUEST_QUEUED (0); REQUEST_REFUSED (-1) when the send queue
    ///   is full. The answer arrives as ITraderListener::onOrdersAnswer.
    virtual int queryOrders() = 0;
    /// Slot 15: queues a query of the day's fills.
    /// @return REQUEST_QUEUED (0); REQUEST_REFUSED (-1) when the send queue
    ///   is full. The answer arrives as ITraderListener::onTradesAnswer.
    virtual int queryTrades() = 0;
};

/// Type of the exported createTrader, for dlsym.
using CreateTraderFunc = ITraderApi* (*)();
/// Type of the exported deleteTrader, for dlsym.
using DeleteTraderFunc = void (*)(ITraderApi*&);

}  // namespace kra

// Exported by the module under these plain names.
extern "C" {
/// Makes a new trader; starts no thread and opens no socket.
kra::ITraderApi* createTrader();
/// Destroys the trader and sets the caller's pointer to null; null is ignored.
/// Refused from inside one of the trader's own listener callbacks; in a forked
/// child the copy is left to the process (see ITraderApi).
void deleteTrader(kra::ITraderApi*& trader);
}
