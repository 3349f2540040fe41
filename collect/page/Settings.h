#pragma once
// The page's settings: each default is here and nowhere else; read once at
// start from the command line.

#include <string>
#include <vector>

namespace Vardel::Page {

struct Settings {
    std::string address = "127.0.0.1";
    int port = 8080;
    std::string store = "dbname=vardel user=vardel_reader";
};

// Throws std::invalid_argument naming the option and why.
Settings ParseSettings(const std::vector<std::string>& args);

// The connection string or URI with any password replaced by "***", for
// the start-up line.
std::string StoreForDisplay(const std::string& conninfo);

}  // namespace Vardel::Page
