#include "Registration.h"

#include "ComErrors.h"
#include "ComSupport.h"
#include "Handles.h"
#include "Registrar.h"
#include "RegistryTree.h"
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

// False for a 32-bit process on 32-bit Windows, which has one view.
bool HasTwoRegistryViews()
{
    BOOL wow64 = FALSE;
    return sizeof(void*) == 8 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64);
}

// Where each registry view keeps a key of HKEY_CLASSES_ROOT, named in the
// 64-bit view, so that both are written alike from a process of either
// bitness. Naming the 32-bit view by KEY_WOW64_32KEY is not enough: from a
// 32-bit process under Wine, a ProgID created that way lands in the 64-bit
// view.
const char* const VIEW_CLASSES[] = {"SOFTWARE\\Classes\\", "SOFTWARE\\Classes\\Wow6432Node\\"};

// The value's text, or "" when it cannot be read.
std::string DefaultValue(const std::string& path)
{
    char text[256] = {};
    LONG size = sizeof text;
    return RegQueryValueA(HKEY_CLASSES_ROOT, path.c_str(), text, &size) == ERROR_SUCCESS ? std::string(text)
                                                                                          : std::string();
}

// The keys under HKEY_CLASSES_ROOT that the two registry views may hold
// apart: each coclass's key and ProgIDs (as this view names them) and each
// interface's key. Windows shares ProgIDs between the views; Wine keeps
// them apart too. AppID and TypeLib are shared by both.
std::vector<std::string> ViewKeys(ITypeLib* library)
{
    std::vector<std::string> keys;
    for (UINT i = 0, n = library->GetTypeInfoCount(); i < n; ++i) {
        TYPEKIND kind;
        Vardel::CComOwner<ITypeInfo> info;
        if (FAILED(library->GetTypeInfoType(i, &kind)) || FAILED(library->GetTypeInfo(i, info.put())))
            continue;
        const bool coclass = kind == TKIND_COCLASS;
        TYPEATTR* attributes = nullptr;
        if (!(coclass || kind == TKIND_INTERFACE || kind == TKIND_DISPATCH) ||
            FAILED(info.get()->GetTypeAttr(&attributes)))
            continue;
        const std::string key = (coclass ? "CLSID\\" : "Interface\\") + Vardel::GuidText(attributes->guid);
        info.get()->ReleaseTypeAttr(attributes);
        keys.push_back(key);
        if (!coclass)
            continue;
        for (const char* progId : {"\\ProgID", "\\VersionIndependentProgID"}) {
            const std::string name = DefaultValue(key + progId);
            if (!name.empty() && name.find('\\') == std::string::npos)
                keys.push_back(name);
        }
    }
    return keys;
}

// Copies the keys as this process's view holds them (where the scripts
// wrote them) into both views, over what is there, so that clients of either
// bitness find the class, its ProgIDs and the interfaces' marshalling, and a
// registration of the other build is replaced by ours. The tree is read
// before it is written, so a view that is this process's own is rewritten
// with what it holds.
HRESULT MirrorToBothViews(const std::vector<std::string>& keys)
{
    if (!HasTwoRegistryViews())
        return S_OK;
    for (const std::string& path : keys) {
        const auto tree = Vardel::CKeySnapshot::Take(HKEY_CLASSES_ROOT, path);
        if (!tree)
            continue;
        for (const char* classes : VIEW_CLASSES) {
            const LONG rc = tree->Restore(HKEY_LOCAL_MACHINE, classes + path, KEY_WOW64_64KEY);
            if (rc != ERROR_SUCCESS)
                return HRESULT_FROM_WIN32(rc);
        }
    }
    return S_OK;
}

// Removes the keys from both views; absent keys are fine.
void DeleteFromBothViews(const std::vector<std::string>& keys)
{
    if (!HasTwoRegistryViews())
        return;
    for (const std::string& path : keys)
        for (const char* classes : VIEW_CLASSES)
            Vardel::DeleteRegistryTree(HKEY_LOCAL_MACHINE, classes + path, KEY_WOW64_64KEY);
}

// The library's class and interface keys, or none when it cannot be read.
std::vector<std::string> ModuleViewKeys(HMODULE module)
{
    std::wstring path;
    Vardel::CComOwner<ITypeLib> library;
    if (FAILED(LoadModuleTypeLib(module, path, library.put())))
        return {};
    return ViewKeys(library.get());
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
    hr = RegisterTypeLibrary(module);
    if (FAILED(hr))
        return hr;
    try {
        return MirrorToBothViews(ModuleViewKeys(module));
    } catch (...) {
        return HResultFromCurrentException();
    }
}

HRESULT UnregisterServer(HMODULE module) noexcept
{
    std::vector<std::string> keys;
    try {
        keys = ModuleViewKeys(module);
    } catch (...) {
    }
    ApplyScript(module, IDR_APPID_SCRIPT, false);
    ApplyScript(module, IDR_CLASS_SCRIPT, false);
    UnregisterTypeLibrary(module);
    DeleteFromBothViews(keys);
    return S_OK;
}

} // namespace VardelServer
