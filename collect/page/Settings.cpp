#include "Settings.h"

#include <regex>
#include <stdexcept>

namespace Vardel::Page {

namespace {

int ParsePort(const std::string& text)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument("--port: not a number from 1 to 65535: " + text);
    int port = std::stoi(text);
    if (port < 1 || port > 65535)
        throw std::invalid_argument("--port: not a number from 1 to 65535: " + text);
    return port;
}

}  // namespace

Settings ParseSettings(const std::vector<std::string>& args)
{
    Settings settings;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name != "--address" && name != "--port" && name != "--store")
            throw std::invalid_argument(name + ": unknown option (--address, --port, --store)");
        if (i + 1 >= args.size())
            throw std::invalid_argument(name + ": needs a value");
        const std::string& value = args[++i];
        if (name == "--address") {
            if (value.empty())
                throw std::invalid_argument("--address: empty");
            settings.address = value;
        } else if (name == "--port") {
            settings.port = ParsePort(value);
        } else {
            settings.store = value;
        }
    }
    return settings;
}

std::string StoreForDisplay(const std::string& conninfo)
{
    // password=... in a keyword string, the whole value as libpq reads it
    // (quoted, or unquoted with backslash escapes such as "abc\ def"), or
    // user:password@ in a URI.
    static const std::regex keyword(R"((password\s*=\s*)('([^'\\]|\\.)*'?|([^\s\\]|\\.|\\$)+))", std::regex::icase);
    static const std::regex uri(R"(^(postgres(ql)?://[^:/@]*):[^@/]*@)", std::regex::icase);
    std::string shown = std::regex_replace(conninfo, keyword, "$1***");
    shown = std::regex_replace(shown, uri, "$1:***@");
    return std::regex_replace(shown, std::regex(R"(([?&]password=)[^&]*)", std::regex::icase), "$1***");
}

}  // namespace Vardel::Page
