#include "Registrar.h"

#include "ComErrors.h"
#include "Handles.h"
#include "RegistryTree.h"
#include "Win32Error.h"

#include <optional>

namespace VardelServer {

namespace {

using Vardel::CKeySnapshot;
using Vardel::CRegistryValue;

[[noreturn]] void ThrowRegError(LONG rc, const std::string& what)
{
    throw Vardel::CWin32Error(static_cast<DWORD>(rc), what);
}

const char* ValueName(const std::string& name)
{
    return name.empty() ? nullptr : name.c_str();
}

bool HasSubkeys(HKEY root, const std::string& path)
{
    Vardel::CUniqueHKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD subkeys = 0;
    RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr);
    return subkeys != 0;
}

// What one registration changed, in order, so that a failure can undo it.
class CRegistryJournal {
public:
    ~CRegistryJournal()
    {
        if (!m_committed)
            Rollback();
    }
    void Commit() noexcept { m_committed = true; }

    void DeletedTree(HKEY root, const std::string& path, CKeySnapshot saved)
    {
        m_entries.push_back({Kind::DeletedTree, root, path, {}, false, std::move(saved)});
    }
    void CreatedKey(HKEY root, const std::string& path)
    {
        m_entries.push_back({Kind::CreatedKey, root, path, {}, false, std::nullopt});
    }
    void SetValue(HKEY root, const std::string& path, CRegistryValue previous, bool existed)
    {
        m_entries.push_back({Kind::SetValue, root, path, std::move(previous), existed, std::nullopt});
    }

private:
    enum class Kind { DeletedTree, CreatedKey, SetValue };
    struct Entry {
        Kind kind;
        HKEY root;
        std::string path;
        CRegistryValue previous; // SetValue: the value before, if it existed
        bool existed;
        std::optional<CKeySnapshot> saved; // DeletedTree: the tree before
    };

    void Rollback() noexcept
    {
        for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
            switch (it->kind) {
            case Kind::DeletedTree:
                it->saved->Restore(it->root, it->path);
                break;
            case Kind::CreatedKey:
                Vardel::DeleteRegistryTree(it->root, it->path);
                break;
            case Kind::SetValue: {
                Vardel::CUniqueHKey key;
                if (RegOpenKeyExA(it->root, it->path.c_str(), 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS)
                    break;
                const CRegistryValue& value = it->previous;
                if (it->existed)
                    RegSetValueExA(key.get(), ValueName(value.name), 0, value.type, value.data.data(),
                                   static_cast<DWORD>(value.data.size()));
                else
                    RegDeleteValueA(key.get(), ValueName(value.name));
                break;
            }
            }
        }
    }

    std::vector<Entry> m_entries;
    bool m_committed = false;
};

std::string ChildPath(const std::string& parent, const std::string& name)
{
    return parent.empty() ? name : parent + "\\" + name;
}

void RegisterKey(HKEY root, const std::string& parent, const CScriptKey& entry, CRegistryJournal& journal)
{
    const std::string path = ChildPath(parent, entry.name);
    if (entry.removal == CScriptKey::Removal::ForceRemove) {
        if (auto saved = CKeySnapshot::Take(root, path)) {
            LONG rc = Vardel::DeleteRegistryTree(root, path);
            journal.DeletedTree(root, path, std::move(*saved)); // also undoes a partial delete
            if (rc != ERROR_SUCCESS)
                ThrowRegError(rc, "deleting " + path);
        }
    }

    Vardel::CUniqueHKey key;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(),
                              &disposition);
    if (rc != ERROR_SUCCESS)
        ThrowRegError(rc, "creating " + path);
    if (disposition == REG_CREATED_NEW_KEY)
        journal.CreatedKey(root, path);

    for (const auto& value : entry.values) {
        CRegistryValue previous;
        bool existed = Vardel::ReadRegistryValue(key.get(), value.name, previous);
        previous.name = value.name;
        journal.SetValue(root, path, std::move(previous), existed);
        rc = RegSetValueExA(key.get(), ValueName(value.name), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.data.c_str()),
                            static_cast<DWORD>(value.data.size() + 1));
        if (rc != ERROR_SUCCESS)
            ThrowRegError(rc, "setting a value of " + path);
    }
    key.reset();

    for (const auto& child : entry.children)
        RegisterKey(root, path, child, journal);
}

// Records the first failure and goes on.
void Note(LONG rc, LONG& first)
{
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && first == ERROR_SUCCESS)
        first = rc;
}

// A key that stays loses the values the script gave it, so that nothing
// left behind points at what is gone.
void RemoveScriptValues(HKEY root, const std::string& path, const CScriptKey& entry, LONG& firstError)
{
    const bool keepDefault = entry.removal == CScriptKey::Removal::NoRemove;
    Vardel::CUniqueHKey key;
    LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_SET_VALUE, key.put());
    Note(rc, firstError);
    if (rc != ERROR_SUCCESS)
        return;
    for (const auto& value : entry.values)
        if (!(keepDefault && value.name.empty()))
            Note(RegDeleteValueA(key.get(), ValueName(value.name)), firstError);
}

void UnregisterKey(HKEY root, const std::string& parent, const CScriptKey& entry, LONG& firstError)
{
    const std::string path = ChildPath(parent, entry.name);
    if (entry.removal == CScriptKey::Removal::ForceRemove) {
        Note(Vardel::DeleteRegistryTree(root, path), firstError);
        return;
    }
    if (!Vardel::RegistryKeyExists(root, path))
        return;
    for (const auto& child : entry.children)
        UnregisterKey(root, path, child, firstError);

    if (entry.removal == CScriptKey::Removal::Normal && !HasSubkeys(root, path))
        Note(RegDeleteKeyA(root, path.c_str()), firstError);
    else
        RemoveScriptValues(root, path, entry, firstError);
}

std::vector<CScriptRoot> ParseWithVariables(const std::string& script, const CScriptVariables& variables)
{
    return ParseScript(ExpandScriptVariables(script, variables));
}

} // namespace

HKEY RootKeyFromName(const std::string& root)
{
    static const struct {
        const char* name;
        HKEY key;
    } roots[] = {
        {"HKCR", HKEY_CLASSES_ROOT},
        {"HKCU", HKEY_CURRENT_USER},
        {"HKLM", HKEY_LOCAL_MACHINE},
        {"HKU", HKEY_USERS},
    };
    for (const auto& known : roots)
        if (root == known.name)
            return known.key;
    throw CScriptError("unknown root key " + root);
}

HKEY CRegistrar::Resolve(const std::string& root) const
{
    HKEY predefined = RootKeyFromName(root);
    auto found = m_redirects.find(predefined);
    return found == m_redirects.end() ? predefined : found->second;
}

HRESULT CRegistrar::Register(const std::string& script) const
{
    try {
        const auto roots = ParseWithVariables(script, m_variables);
        CRegistryJournal journal;
        for (const auto& root : roots)
            for (const auto& key : root.keys)
                RegisterKey(Resolve(root.root), std::string(), key, journal);
        journal.Commit();
        return S_OK;
    } catch (const CScriptError&) {
        return DISP_E_EXCEPTION;
    } catch (...) {
        return HResultFromCurrentException();
    }
}

HRESULT CRegistrar::Unregister(const std::string& script) const
{
    try {
        const auto roots = ParseWithVariables(script, m_variables);
        LONG firstError = ERROR_SUCCESS;
        for (const auto& root : roots)
            for (const auto& key : root.keys)
                UnregisterKey(Resolve(root.root), std::string(), key, firstError);
        return Vardel::HResultFromWin32(static_cast<DWORD>(firstError));
    } catch (const CScriptError&) {
        return DISP_E_EXCEPTION;
    } catch (...) {
        return HResultFromCurrentException();
    }
}

} // namespace VardelServer
