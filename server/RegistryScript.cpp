#include "RegistryScript.h"

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

char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Keywords and root names are ASCII, so no locale is involved.
bool SameText(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return i == a.size() && !b[i];
}

bool IsKeyword(const CToken& token, const char* keyword)
{
    return token.kind == CToken::Kind::Word && SameText(token.text, keyword);
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

// The registry's limit; checked here so that every platform refuses it alike.
constexpr size_t MAX_KEY_NAME_LENGTH = 255;

std::string RootFromName(const std::string& name)
{
    static const struct {
        const char* shortName;
        const char* longName;
    } roots[] = {
        {"HKCR", "HKEY_CLASSES_ROOT"},
        {"HKCU", "HKEY_CURRENT_USER"},
        {"HKLM", "HKEY_LOCAL_MACHINE"},
        {"HKU", "HKEY_USERS"},
    };
    for (const auto& root : roots)
        if (SameText(name, root.shortName) || SameText(name, root.longName))
            return root.shortName;
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
    if (!IsKeyword(type, "s"))
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
    if (IsKeyword(tokens.Peek(), "NoRemove")) {
        key.removal = CScriptKey::Removal::NoRemove;
        tokens.Next();
    } else if (IsKeyword(tokens.Peek(), "ForceRemove")) {
        key.removal = CScriptKey::Removal::ForceRemove;
        tokens.Next();
    }

    if (IsKeyword(tokens.Peek(), "val")) {
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
    if (key.name.size() > MAX_KEY_NAME_LENGTH)
        throw CScriptError("key name longer than " + std::to_string(MAX_KEY_NAME_LENGTH) + " characters");
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

void CollectKeyPaths(const std::string& root, const std::string& parent, const std::vector<CScriptKey>& keys,
                     std::vector<CScriptKeyPath>& paths)
{
    for (const auto& key : keys) {
        const std::string path = parent.empty() ? key.name : parent + "\\" + key.name;
        if (key.removal == CScriptKey::Removal::NoRemove)
            CollectKeyPaths(root, path, key.children, paths);
        else
            paths.push_back({root, path});
    }
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

std::vector<CScriptKeyPath> ScriptKeyPaths(const std::vector<CScriptRoot>& roots)
{
    std::vector<CScriptKeyPath> paths;
    for (const auto& root : roots)
        CollectKeyPaths(root.root, std::string(), root.keys, paths);
    return paths;
}

} // namespace VardelServer
