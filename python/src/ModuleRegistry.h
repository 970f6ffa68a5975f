// The trader module of this process, loaded once with dlopen and kept loaded
// until the process ends. Every Trader of the process makes its trader from
// the same loaded file.
//
// Why never unloaded: the module registers its protocol schema with the shared
// protobuf runtime when it loads; unloading and loading it again (or loading
// a second copy of the file from another path) would register the schema
// twice, which the runtime treats as a fatal error. For the same reason a
// second, different module file is refused with an error instead of loaded.
//
// Threads: any; loading is serialised by one lock.
#pragma once

#include <string>

#include "common/TraderModule.h"

namespace hvr::python {

// The loaded module for path (made absolute and resolved, so a symbolic link
// and its target are the same file). Throws std::runtime_error when the file
// cannot be loaded, lacks createTrader/deleteTrader, or differs from the file
// this process already loaded.
const tools::TraderModule& loadTraderModule(const std::string& path);

}  // namespace hvr::python
