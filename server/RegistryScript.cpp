#include "RegistryScript.h"

#include "ComErrors.h"
#include "Handles.h"
#include "Win32Error.h"

#include <memory>

namespace VardelServer {

namespace {

// ---- Tokenizer --------------------------------------------------------------

struct CToken {
    enum class Kind { Word, Quoted, Open, Close, Equals, End };
    Kind kind = Kind::End;
    std::string text;
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool SameText(const std::string& a, const char* b)
{
    return lstrcmpiA(a.c_str(), b) == 0;
}

class CScriptTokenizer {
public:
    explicit CScriptTokenizer(const std::string& text) : m_text(text) { m_next = Read(); }

    const CToken& Peek() const { return m_next; }
    CToken Next()
    {
        CToken token = std::move(m_next);
        m_next = Read();
        return token;
    }

private:
    CToken Read()
    {
        while (m_pos < m_text.size() && IsBlank(m_text[m_pos]))
            ++m_pos;
        CToken token;
        if (m_pos == m_text.size())
            return token;
        if (m_text[m_pos] == '\'')
            return ReadQuoted();
        size_t start = m_pos;
        while (m_pos < m_text.size() && !IsBlank(m_text[m_pos]))
            ++m_pos;
        token.text = m_text.substr(start, m_pos - start);
        token.kind = token.text == "{"   ? CToken::Kind::Open
                     : token.text == "}" ? CToken::Kind::Close
                     : token.text == "=" ? CToken::Kind::Equals
                                         : CToken::Kind::Word;
        return token;
    }

    CToken ReadQuoted()
    {
        CToken token;
        token.kind = CToken::Kind::Quoted;
        for (++m_pos;; ++m_pos) {
            if (m_pos == m_text.size())
                throw CScriptError("unterminated quoted string");
            if (m_text[m_pos] == '\'') {
                if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '\'')
                    ++m_pos; // a doubled quote stands for one
                else
                    break;
            }
            token.text += m_text[m_pos];
        }
        ++m_pos;
        return token;
    }

    const std::string& m_text;
    size_t m_pos = 0;
    CToken m_next;
};

// ---- Parser -----------------------------------------------------------------

HKEY RootFromName(const std::string& name)
{
    static const struct {
        const char* name;
        HKEY key;
    } roots[] = {
        {"HKCR", HKEY_CLASSES_ROOT},  {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {"HKCU", HKEY_CURRENT_USER},  {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {"HKLM", HKEY_LOCAL_MACHINE}, {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {"HKU", HKEY_USERS},          {"HKEY_USERS", HKEY_USERS},
    };
    for (const auto& root : roots)
        if (SameText(name, root.name))
            return root.key;
    throw CScriptError("unknown root key " + name);
}

void Expect(const CToken& token, CToken::Kind kind, const char* what)
{
    if (token.kind != kind)
        throw CScriptError(std::string("expected ") + what + (token.text.empty() ? "" : " at " + token.text));
}

std::string ParseName(CScriptTokenizer& tokens)
{
    CToken token = tokens.Next();
    if (token.kind != CToken::Kind::Word && token.kind != CToken::Kind::Quoted)
        throw CScriptError("expected a key or value name" + (token.text.empty() ? "" : " at " + token.text));
    // One name is one key: a backslash would reach keys the script does not show.
    if (token.text.empty() || token.text.find('\\') != std::string::npos)
        throw CScriptError("invalid name '" + token.text + "'");
    return token.text;
}

// "= s 'text'"; the equals sign is already taken.
std::string ParseStringData(CScriptTokenizer& tokens)
{
    CToken type = tokens.Next();
    if (type.kind != CToken::Kind::Word || !SameText(type.text, "s"))
        throw CScriptError("only string values (s) are supported" + (type.text.empty() ? "" : ", found " + type.text));
    CToken data = tokens.Next();
    Expect(data, CToken::Kind::Quoted, "a quoted string");
    return data.text;
}

std::vector<CScriptKey> ParseKeyList(CScriptTokenizer& tokens, std::vector<CScriptValue>* ownerValues);

// One entry of a key list: a named value of the owner, or a subkey.
void ParseEntry(CScriptTokenizer& tokens, std::vector<CScriptKey>& keys, std::vector<CScriptValue>* ownerValues)
{
    CScriptKey key;
    const CToken& first = tokens.Peek();
    if (first.kind == CToken::Kind::Word && SameText(first.text, "NoRemove")) {
        key.removal = CScriptKey::Removal::NoRemove;
        tokens.Next();
    } else if (first.kind == CToken::Kind::Word && SameText(first.text, "ForceRemove")) {
        key.removal = CScriptKey::Removal::ForceRemove;
        tokens.Next();
    }

    if (tokens.Peek().kind == CToken::Kind::Word && SameText(tokens.Peek().text, "val")) {
        tokens.Next();
        if (key.removal != CScriptKey::Removal::Normal)
            throw CScriptError("NoRemove and ForceRemove apply to keys, not to values");
        if (!ownerValues)
            throw CScriptError("a value needs a key to hold it");
        CScriptValue value;
        value.name = ParseName(tokens);
        Expect(tokens.Next(), CToken::Kind::Equals, "=");
        value.data = ParseStringData(tokens);
        ownerValues->push_back(std::move(value));
        return;
    }

    key.name = ParseName(tokens);
    if (tokens.Peek().kind == CToken::Kind::Equals) {
        tokens.Next();
        key.values.push_back({std::string(), ParseStringData(tokens)});
    }
    if (tokens.Peek().kind == CToken::Kind::Open) {
        tokens.Next();
        key.children = ParseKeyList(tokens, &key.values);
    }
    keys.push_back(std::move(key));
}

// Entries up to and including the closing brace.
std::vector<CScriptKey> ParseKeyList(CScriptTokenizer& tokens, std::vector<CScriptValue>* ownerValues)
{
    std::vector<CScriptKey> keys;
    while (tokens.Peek().kind != CToken::Kind::Close) {
        if (tokens.Peek().kind == CToken::Kind::End)
            throw CScriptError("missing }");
        ParseEntry(tokens, keys, ownerValues);
    }
    tokens.Next();
    return keys;
}

// ---- Registry access --------------------------------------------------------

[[noreturn]] void ThrowRegError(LONG rc, const std::string& what)
{
    throw Vardel::CWin32Error(static_cast<DWORD>(rc), what);
}

bool KeyExists(HKEY root, const std::string& path)
{
    Vardel::CUniqueHKey key;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Deletes a key with everything below it; a missing key is no failure.
LONG DeleteTree(HKEY root, const std::string& path)
{
    Vardel::CUniqueHKey key;
    LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put());
    if (rc == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS)
        return rc;
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD length = sizeof name;
        rc = RegEnumKeyExA(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return rc;
        children.emplace_back(name, length);
    }
    key.reset();
    for (const auto& child : children)
        if ((rc = DeleteTree(root, path + "\\" + child)) != ERROR_SUCCESS)
            return rc;
    rc = RegDeleteKeyA(root, path.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
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

struct CStoredValue {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// Reads one value; false when it does not exist.
bool ReadValue(HKEY key, const std::string& name, CStoredValue& value)
{
    const char* valueName = name.empty() ? nullptr : name.c_str();
    DWORD size = 0;
    if (RegQueryValueExA(key, valueName, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    value.name = name;
    value.data.resize(size);
    LONG rc = RegQueryValueExA(key, valueName, nullptr, &value.type, value.data.data(), &size);
    value.data.resize(size);
    return rc == ERROR_SUCCESS;
}

// A key's values and subkeys, as saved before a ForceRemove deletes them.
struct CKeySnapshot {
    std::vector<CStoredValue> values;
    std::vector<std::pair<std::string, std::unique_ptr<CKeySnapshot>>> children;

    static std::unique_ptr<CKeySnapshot> Take(HKEY root, const std::string& path)
    {
        Vardel::CUniqueHKey key;
        LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put());
        if (rc == ERROR_FILE_NOT_FOUND)
            return nullptr;
        if (rc != ERROR_SUCCESS)
            ThrowRegError(rc, "opening " + path);
        auto snapshot = std::make_unique<CKeySnapshot>();
        for (DWORD i = 0;; ++i) {
            char name[16384];
            DWORD length = sizeof name;
            if (RegEnumValueA(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            CStoredValue value;
            if (ReadValue(key.get(), std::string(name, length), value))
                snapshot->values.push_back(std::move(value));
        }
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD length = sizeof name;
            if (RegEnumKeyExA(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            std::string child(name, length);
            snapshot->children.emplace_back(child, Take(root, path + "\\" + child));
        }
        return snapshot;
    }

    void Restore(HKEY root, const std::string& path) const noexcept
    {
        Vardel::CUniqueHKey key;
        if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) !=
            ERROR_SUCCESS)
            return;
        for (const auto& v : values)
            RegSetValueExA(key.get(), v.name.empty() ? nullptr : v.name.c_str(), 0, v.type, v.data.data(),
                           static_cast<DWORD>(v.data.size()));
        for (const auto& child : children)
            if (child.second)
                child.second->Restore(root, path + "\\" + child.first);
    }
};

// What one registration changed, in order, so that a failure can undo it.
class CRegistryJournal {
public:
    ~CRegistryJournal()
    {
        if (!m_committed)
            Rollback();
    }
    void Commit() noexcept { m_committed = true; }

    void DeletedTree(HKEY root, const std::string& path, std::unique_ptr<CKeySnapshot> saved)
    {
        m_entries.push_back({Kind::DeletedTree, root, path, {}, false, std::move(saved)});
    }
    void CreatedKey(HKEY root, const std::string& path)
    {
        m_entries.push_back({Kind::CreatedKey, root, path, {}, false, nullptr});
    }
    void SetValue(HKEY root, const std::string& path, CStoredValue previous, bool existed)
    {
        m_entries.push_back({Kind::SetValue, root, path, std::move(previous), existed, nullptr});
    }

private:
    enum class Kind { DeletedTree, CreatedKey, SetValue };
    struct Entry {
        Kind kind;
        HKEY root;
        std::string path;
        CStoredValue previous; // SetValue: the value before, if it existed
        bool existed;
        std::unique_ptr<CKeySnapshot> saved; // DeletedTree: the tree before
    };

    void Rollback() noexcept
    {
        for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
            switch (it->kind) {
            case Kind::DeletedTree:
                if (it->saved)
                    it->saved->Restore(it->root, it->path);
                break;
            case Kind::CreatedKey:
                DeleteTree(it->root, it->path);
                break;
            case Kind::SetValue: {
                Vardel::CUniqueHKey key;
                if (RegOpenKeyExA(it->root, it->path.c_str(), 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS)
                    break;
                const char* name = it->previous.name.empty() ? nullptr : it->previous.name.c_str();
                if (it->existed)
                    RegSetValueExA(key.get(), name, 0, it->previous.type, it->previous.data.data(),
                                   static_cast<DWORD>(it->previous.data.size()));
                else
                    RegDeleteValueA(key.get(), name);
                break;
            }
            }
        }
    }

    std::vector<Entry> m_entries;
    bool m_committed = false;
};

// ---- Applying a script ------------------------------------------------------

std::string ChildPath(const std::string& parent, const std::string& name)
{
    return parent.empty() ? name : parent + "\\" + name;
}

void RegisterKey(HKEY root, const std::string& parent, const CScriptKey& entry, CRegistryJournal& journal)
{
    const std::string path = ChildPath(parent, entry.name);
    if (entry.removal == CScriptKey::Removal::ForceRemove) {
        auto saved = CKeySnapshot::Take(root, path);
        if (saved) {
            LONG rc = DeleteTree(root, path);
            journal.DeletedTree(root, path, std::move(saved)); // also undoes a partial delete
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
        CStoredValue previous;
        bool existed = ReadValue(key.get(), value.name, previous);
        previous.name = value.name;
        journal.SetValue(root, path, std::move(previous), existed);
        rc = RegSetValueExA(key.get(), value.name.empty() ? nullptr : value.name.c_str(), 0, REG_SZ,
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

void UnregisterKey(HKEY root, const std::string& parent, const CScriptKey& entry, LONG& firstError)
{
    const std::string path = ChildPath(parent, entry.name);
    if (entry.removal == CScriptKey::Removal::ForceRemove) {
        Note(DeleteTree(root, path), firstError);
        return;
    }
    if (!KeyExists(root, path))
        return;
    for (const auto& child : entry.children)
        UnregisterKey(root, path, child, firstError);

    if (entry.removal == CScriptKey::Removal::NoRemove) {
        // Only the named values that the script itself put here go.
        Vardel::CUniqueHKey key;
        LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_SET_VALUE, key.put());
        Note(rc, firstError);
        if (rc == ERROR_SUCCESS)
            for (const auto& value : entry.values)
                if (!value.name.empty())
                    Note(RegDeleteValueA(key.get(), value.name.c_str()), firstError);
        return;
    }
    if (!HasSubkeys(root, path))
        Note(RegDeleteKeyA(root, path.c_str()), firstError);
}

std::vector<CScriptRoot> ParseWithVariables(const std::string& script, const CScriptVariables& variables)
{
    return ParseScript(ExpandScriptVariables(script, variables));
}

} // namespace

std::string QuoteForScript(const std::string& text)
{
    std::string quoted;
    quoted.reserve(text.size());
    for (char c : text) {
        quoted += c;
        if (c == '\'')
            quoted += '\'';
    }
    return quoted;
}

std::string ExpandScriptVariables(const std::string& text, const CScriptVariables& variables)
{
    std::string expanded;
    expanded.reserve(text.size());
    for (size_t pos = 0; pos < text.size(); ++pos) {
        if (text[pos] != '%') {
            expanded += text[pos];
            continue;
        }
        size_t end = text.find('%', pos + 1);
        if (end == std::string::npos)
            throw CScriptError("unterminated variable");
        std::string name = text.substr(pos + 1, end - pos - 1);
        if (name.empty()) {
            expanded += '%';
        } else {
            auto found = variables.find(name);
            if (found == variables.end())
                throw CScriptError("unknown variable %" + name + "%");
            expanded += found->second;
        }
        pos = end;
    }
    return expanded;
}

std::vector<CScriptRoot> ParseScript(const std::string& expandedText)
{
    CScriptTokenizer tokens(expandedText);
    std::vector<CScriptRoot> roots;
    while (tokens.Peek().kind != CToken::Kind::End) {
        CToken name = tokens.Next();
        Expect(name, CToken::Kind::Word, "a root key");
        CScriptRoot root;
        root.root = RootFromName(name.text);
        Expect(tokens.Next(), CToken::Kind::Open, "{");
        root.keys = ParseKeyList(tokens, nullptr);
        roots.push_back(std::move(root));
    }
    return roots;
}

HKEY CRegistrar::Resolve(HKEY predefined) const
{
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
