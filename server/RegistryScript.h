#pragma once
// Registration scripts: the nested-key language of the component registrar,
// parsed into a tree of keys and values. Standard C++ only, so that tools
// that run outside Windows can read the same scripts.
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {GUID} = s 'Default text'
//           {
//               val Name = s 'Named value'
//               LocalServer32 = s '%MODULE%'
//           }
//       }
//   }
//
// Tokens are separated by white space; names are bare words or quoted with
// single quotes ('' inside quotes stands for one quote). Keywords (NoRemove,
// ForceRemove, val, s) and root names are matched without regard to case.
// %NAME% is replaced by the caller's text for NAME before parsing and %%
// stands for one percent sign; replacement text goes in as given, so text
// meant for a quoted string must already have its quotes doubled
// (QuoteForScript).

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace VardelServer {

// A script that cannot be parsed or refers to an unknown variable.
class CScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CScriptValue {
    std::string name; // empty for the key's default value
    std::string data;
};

struct CScriptKey {
    enum class Removal { Normal, NoRemove, ForceRemove };

    std::string name;
    Removal removal = Removal::Normal;
    std::vector<CScriptValue> values; // the default value, if any, first
    std::vector<CScriptKey> children;
};

struct CScriptRoot {
    std::string root; // "HKCR", "HKCU", "HKLM" or "HKU", for either spelling in the script
    std::vector<CScriptKey> keys;
};

using CScriptVariables = std::map<std::string, std::string>;

// Doubles every single quote, so that the text can stand inside '...'.
std::string QuoteForScript(const std::string& text);

// Throw CScriptError.
std::string ExpandScriptVariables(const std::string& text, const CScriptVariables& variables);
std::vector<CScriptRoot> ParseScript(const std::string& expandedText);

// A key below a root, as "Parent\\Child".
struct CScriptKeyPath {
    std::string root;
    std::string path;

    bool operator==(const CScriptKeyPath& other) const { return root == other.root && path == other.path; }
};

// The keys that registering the script creates or changes and unregistering
// removes: each top-level key that is not NoRemove, and in place of a
// NoRemove key each of its children, by the same rule. Saving and restoring
// these trees leaves the registry as it was (values the script sets on a
// NoRemove key itself are not covered).
std::vector<CScriptKeyPath> ScriptKeyPaths(const std::vector<CScriptRoot>& roots);

} // namespace VardelServer
