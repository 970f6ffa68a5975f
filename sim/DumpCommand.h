// `hvr-sim dump --db FILE [--json|--csv] day|orders|trades|positions|pushes|accounts`:
// prints one table of a stored trading day. Opens the database read-only,
// without the server's lock, so it works while a server runs on the file.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace hvr::sim {

// args: what follows the word "dump". Writes the table to out, or the help
// text; problems go to err. Returns the exit code: 0, 1 when the database
// cannot be read, 2 for a usage error.
int runDump(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace hvr::sim
