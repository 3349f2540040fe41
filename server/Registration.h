#pragma once
// Registration of the server from its own resources: the AppID script
// (REGISTRY 100), the class script (REGISTRY 101) and the type library
// (TYPELIB 1), all under HKEY_CLASSES_ROOT.

#include "RegistryScript.h"

#include <windows.h>
#include <string>
#include <vector>

namespace VardelServer {

// The module's full path for %MODULE%: its short (8.3) form where the file
// system has one, else the long form; single quotes doubled.
std::string ModulePathForScript(HMODULE module);

// The text of a "REGISTRY" resource; throws CWin32Error when it is missing.
std::string LoadScriptResource(HMODULE module, int id);

// The keys that the two scripts of the executable at path touch
// (ScriptKeyPaths), read from its resources without running it. Throws
// CWin32Error or CScriptError.
std::vector<CScriptKeyPath> RegistrationScriptKeys(const std::string& executablePath);

// AppID script (its result ignored), class script (its failure ends the
// registration), type library. Returns the type library registration's
// result, or the first failure.
HRESULT RegisterServer(HMODULE module) noexcept;
// Removes the AppID script's entries, the class script's, then the type
// library. Every failure is ignored: always S_OK.
HRESULT UnregisterServer(HMODULE module) noexcept;

// The type library held in the module (or in the .tlb beside it).
HRESULT RegisterTypeLibrary(HMODULE module) noexcept;
HRESULT UnregisterTypeLibrary(HMODULE module) noexcept;

} // namespace VardelServer
