#pragma once
// The registrar: applies registration scripts (RegistryScript.h) to the
// registry, for registration with rollback or for removal.

#include "RegistryScript.h"

#include <windows.h>
#include <map>
#include <string>

namespace VardelServer {

// The predefined key for a root name of a parsed script ("HKCR", ...).
HKEY RootKeyFromName(const std::string& root);

// A predefined root can be redirected to another open key (tests use a
// scratch key in place of HKEY_CLASSES_ROOT).
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
    // is left. A key that stays still loses the values the script names: all
    // of them on a key of the script's own, the named ones on a NoRemove key
    // (its default value describes the shared key). Missing keys and values
    // are no failure; the first other failure is returned after the rest has
    // been tried.
    HRESULT Unregister(const std::string& script) const;

private:
    HKEY Resolve(const std::string& root) const;

    CScriptVariables m_variables;
    std::map<HKEY, HKEY> m_redirects;
};

} // namespace VardelServer
