// How every Asio event loop of this build is made. The build includes this
// file ahead of every C++ source (CMake, -include), because all code that
// runs an Asio loop in one program must agree on it: Asio's inline functions
// differ with it.
//
// Asio's Linux loop holds an epoll descriptor, an eventfd and a timerfd for
// its timers. Without the timerfd its timers set the epoll_wait timeout
// instead (to the millisecond, which neither the heartbeat nor the dead-peer
// check needs finer): one descriptor less for every trader, which a host with
// thousands of traders counts. Asio 1.74 turns the timerfd on by itself
// whenever it has epoll and offers no switch; its own configuration header is
// read first, and the setting taken back, so that Asio builds its loop as on
// a system without timerfd (a configuration it supports).
#pragma once

#include <boost/asio/detail/config.hpp>

#undef BOOST_ASIO_HAS_TIMERFD
