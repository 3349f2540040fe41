#pragma once
// Registration scripts: the nested-key language of the component registrar,
// parsed into a tree and applied to the registry for registration or
// removal.
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
// ForceRemove, val, s) are matched without regard to case. %NAME% is
// replaced by the caller's text for NAME before parsing and %% stands for
// one percent sign; replacement text goes in as given, so text meant for a
// quoted string must already have its quotes doubled (QuoteForScript).

#include <windows.h>
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
    HKEY root = nullptr; // a predefined key
    std::vector<CScriptKey> keys;
};

using CScriptVariables = std::map<std::string, std::string>;

// Doubles every single quote, so that the text can stand inside '...'.
std::string QuoteForScript(const std::string& text);

// Throws CScriptError.
std::string ExpandScriptVariables(const std::string& text, const CScriptVariables& variables);
std::vector<CScriptRoot> ParseScript(const std::string& expandedText);

// Applies scripts to the registry. A predefined root can be redirected to
// another open key (tests use a scratch key in place of HKEY_CLASSES_ROOT).
class CRegistrar {
public:
    void AddVariable(const std::string& name, const std::string& text) { m_variables[name] = text; }
    void RedirectRoot(HKEY predefined, HKEY target) { m_redirects[predefined] = target; }

    // Writes every key and value of the script; ForceRemove keys are deleted
    // with their subtree first. On failure everything this call changed is
    // put back as it was and the failure is returned; a script that does not
    // parse changes nothing and gives DISP_E_EXCEPTION.
    HRESULT Register(const std::string& script) const;
    // Removes what the script names: NoRemove keys stay (only what the script
    // names beneath them goes), ForceRemove keys go with their subtree, other
    // keys go once the script's own subkeys are removed and no foreign subkey
    // is left. Missing keys and values are no failure; the first other
    // failure is returned after the rest has been tried.
    HRESULT Unregister(const std::string& script) const;

private:
    HKEY Resolve(HKEY predefined) const;

    CScriptVariables m_variables;
    std::map<HKEY, HKEY> m_redirects;
};

} // namespace VardelServer
