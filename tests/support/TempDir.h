// A fresh directory under the system's temp dir for one test, removed at the
// end: the home of the flow files a test makes.
#pragma once

#include <stdlib.h>

#include <boost/filesystem.hpp>
#include <stdexcept>
#include <string>

namespace hvr::test {

// A fresh directory under the system's temp dir, removed at the end.
class TempDir {
public:
    TempDir() {
        std::string pattern = (boost::filesystem::temp_directory_path() / "hvr-test-XXXXXX").string();
        if (::mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempDir() {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path, ignored);
    }
    // The directory with a trailing separator: the flow-file prefix.
    std::string prefix() const { return path + "/"; }

    std::string path;
};

}  // namespace hvr::test
