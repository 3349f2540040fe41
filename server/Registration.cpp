#include "Registration.h"

#include "ComErrors.h"
#include "ComSupport.h"
#include "Handles.h"
#include "Registrar.h"
#include "Win32Error.h"
#include "resource.h"

#include <oleauto.h>
#include <vector>

namespace VardelServer {

namespace {

std::string ModuleFileName(HMODULE module)
{
    std::vector<char> path(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            throw Vardel::CWin32Error(GetLastError(), "GetModuleFileNameA");
        if (n < path.size())
            return std::string(path.data(), n);
        path.resize(path.size() * 2);
    }
}

std::wstring ModuleFileNameW(HMODULE module)
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            throw Vardel::CWin32Error(GetLastError(), "GetModuleFileNameW");
        if (n < path.size())
            return std::wstring(path.data(), n);
        path.resize(path.size() * 2);
    }
}

HRESULT ApplyScript(HMODULE module, int id, bool doRegister) noexcept
{
    try {
        CRegistrar registrar;
        registrar.AddVariable("MODULE", ModulePathForScript(module));
        const std::string script = LoadScriptResource(module, id);
        return doRegister ? registrar.Register(script) : registrar.Unregister(script);
    } catch (...) {
        return HResultFromCurrentException();
    }
}

// The library from the module itself, else from the same path ending in
// ".tlb"; path receives the one that loaded.
HRESULT LoadModuleTypeLib(HMODULE module, std::wstring& path, ITypeLib** library)
{
    path = ModuleFileNameW(module);
    HRESULT hr = LoadTypeLib(path.c_str(), library);
    if (SUCCEEDED(hr))
        return hr;
    size_t dot = path.find_last_of(L".\\/");
    if (dot != std::wstring::npos && path[dot] == L'.')
        path.erase(dot);
    path += L".tlb";
    return LoadTypeLib(path.c_str(), library);
}

} // namespace

std::string ModulePathForScript(HMODULE module)
{
    const std::string longPath = ModuleFileName(module);
    std::vector<char> shortPath(longPath.size() + MAX_PATH);
    DWORD n = GetShortPathNameA(longPath.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
    const bool haveShort = n != 0 && n < shortPath.size();
    return QuoteForScript(haveShort ? std::string(shortPath.data(), n) : longPath);
}

std::string LoadScriptResource(HMODULE module, int id)
{
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), "REGISTRY");
    if (!found)
        throw Vardel::CWin32Error(GetLastError(), "FindResourceA REGISTRY");
    HGLOBAL loaded = LoadResource(module, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data)
        throw Vardel::CWin32Error(GetLastError(), "LoadResource REGISTRY");
    return std::string(static_cast<const char*>(data), SizeofResource(module, found));
}

std::vector<CScriptKeyPath> RegistrationScriptKeys(const std::string& executablePath)
{
    Vardel::CUniqueModule image(LoadLibraryExA(executablePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!image)
        throw Vardel::CWin32Error(GetLastError(), "LoadLibraryExA " + executablePath);
    const CScriptVariables variables{{"MODULE", QuoteForScript(executablePath)}};
    std::vector<CScriptKeyPath> keys;
    for (int id : {IDR_APPID_SCRIPT, IDR_CLASS_SCRIPT}) {
        const auto script = ParseScript(ExpandScriptVariables(LoadScriptResource(image.get(), id), variables));
        for (auto& key : ScriptKeyPaths(script))
            keys.push_back(std::move(key));
    }
    return keys;
}

HRESULT RegisterTypeLibrary(HMODULE module) noexcept
{
    try {
        std::wstring path;
        Vardel::CComOwner<ITypeLib> library;
        HRESULT hr = LoadModuleTypeLib(module, path, library.put());
        if (FAILED(hr))
            return hr;
        std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
        return RegisterTypeLib(library.get(), &path[0], folder.empty() ? nullptr : &folder[0]);
    } catch (...) {
        return HResultFromCurrentException();
    }
}

HRESULT UnregisterTypeLibrary(HMODULE module) noexcept
{
    using UnRegisterTypeLibFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
    try {
        HMODULE oleaut = GetModuleHandleA("oleaut32.dll");
        auto unregister = oleaut ? reinterpret_cast<UnRegisterTypeLibFn>(
                                       reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")))
                                 : nullptr;
        if (!unregister)
            return S_OK;
        std::wstring path;
        Vardel::CComOwner<ITypeLib> library;
        HRESULT hr = LoadModuleTypeLib(module, path, library.put());
        if (FAILED(hr))
            return hr;
        TLIBATTR* attributes = nullptr;
        hr = library.get()->GetLibAttr(&attributes);
        if (FAILED(hr))
            return hr;
        const GUID libid = attributes->guid;
        library.get()->ReleaseTLibAttr(attributes);
        return unregister(libid, 1, 0, 0, SYS_WIN32);
    } catch (...) {
        return HResultFromCurrentException();
    }
}

HRESULT RegisterServer(HMODULE module) noexcept
{
    ApplyScript(module, IDR_APPID_SCRIPT, true);
    HRESULT hr = ApplyScript(module, IDR_CLASS_SCRIPT, true);
    if (FAILED(hr))
        return hr;
    return RegisterTypeLibrary(module);
}

HRESULT UnregisterServer(HMODULE module) noexcept
{
    ApplyScript(module, IDR_APPID_SCRIPT, false);
    ApplyScript(module, IDR_CLASS_SCRIPT, false);
    UnregisterTypeLibrary(module);
    return S_OK;
}

} // namespace VardelServer
