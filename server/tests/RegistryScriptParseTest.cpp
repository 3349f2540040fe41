// The script parser on plain text: trees, failures and the keys a script
// touches, without the registry.

#include "RegistryScript.h"

#include <gtest/gtest.h>

using namespace VardelServer;

namespace {

// "!" marks NoRemove, "+" ForceRemove; values as name='data', @ the default.
std::string Render(const std::vector<CScriptKey>& keys)
{
    std::string text;
    for (const auto& key : keys) {
        text += key.removal == CScriptKey::Removal::NoRemove      ? "!"
                : key.removal == CScriptKey::Removal::ForceRemove ? "+"
                                                                   : "";
        text += key.name;
        for (const auto& value : key.values)
            text += " " + (value.name.empty() ? "@" : value.name) + "='" + value.data + "'";
        if (!key.children.empty())
            text += " {" + Render(key.children) + "}";
        text += ";";
    }
    return text;
}

std::string Render(const std::vector<CScriptRoot>& roots)
{
    std::string text;
    for (const auto& root : roots)
        text += root.root + " {" + Render(root.keys) + "} ";
    return text;
}

TEST(RegistryScriptParse, Trees)
{
    const struct {
        const char* script;
        const char* tree;
    } cases[] = {
        {"", ""},
        {"HKCR { }", "HKCR {} "},
        {"hkey_classes_root { A } HKLM { B } HKEY_USERS { C } hkcu { D }", "HKCR {A;} HKLM {B;} HKU {C;} HKCU {D;} "},
        {"HKCR { A = s 'x' { val N = S 'n' B { C = s '' } } }", "HKCR {A @='x' N='n' {B {C @='';};};} "},
        {"HKCR\r\n{\tNOREMOVE A { forceremove B = s 'b' } }", "HKCR {!A {+B @='b';};} "},
        {"HKCR { 'It''s' = s 'a ''b'' c' 'val' { val 'NoRemove' = s '%' } }",
         "HKCR {It's @='a 'b' c';val NoRemove='%';} "},
        {"HKCR { {GUID} = s '{x}' }", "HKCR {{GUID} @='{x}';} "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.tree, Render(ParseScript(c.script))) << c.script;
}

TEST(RegistryScriptParse, FailuresNameTheirCause)
{
    const struct {
        const char* script;
        const char* message;
    } cases[] = {
        {"HKCR { A = s 'x' { B = s 'y' }", "missing }"},
        {"HKCR { A = s 'unterminated }", "unterminated quoted string"},
        {"HKCR { val A = s 'x' }", "a value needs a key to hold it"},
        {"HKCR { A { val N = d '5' } }", "only string values (s) are supported, found d"},
        {"HKCR { A\\B = s 'x' }", "invalid name 'A\\B'"},
        {"HKCR { '' }", "invalid name ''"},
        {"HKXX { A = s 'x' }", "unknown root key HKXX"},
        {"HKCR A", "expected { at A"},
        {"'HKCR' { }", "expected a root key at HKCR"},
        {"HKCR { NoRemove val A = s 'x' }", "NoRemove and ForceRemove apply to keys, not to values"},
        {"HKCR { A = }", "only string values (s) are supported, found }"},
        {"HKCR { A = s x }", "expected a quoted string at x"},
        {"HKCR { A { val = s 'x' } }", "expected a key or value name at ="},
    };
    for (const auto& c : cases) {
        try {
            ParseScript(c.script);
            ADD_FAILURE() << "parsed: " << c.script;
        } catch (const CScriptError& error) {
            EXPECT_STREQ(c.message, error.what()) << c.script;
        }
    }
    const std::string longest(255, 'k');
    EXPECT_EQ(1u, ParseScript("HKCR { " + longest + " }").front().keys.size());
    EXPECT_THROW(ParseScript("HKCR { " + longest + "k }"), CScriptError);
}

TEST(RegistryScriptParse, Variables)
{
    const CScriptVariables variables{{"MODULE", QuoteForScript("C:\\it's\\a.exe")}, {"X", "%MODULE%"}};
    const struct {
        const char* text;
        const char* expanded; // null: CScriptError
    } cases[] = {
        {"'%MODULE%'", "'C:\\it''s\\a.exe'"},
        {"100%%", "100%"},
        {"%X%", "%MODULE%"}, // replacement text is not expanded again
        {"%UNDEFINED%", nullptr},
        {"%MODULE", nullptr},
    };
    for (const auto& c : cases) {
        if (c.expanded)
            EXPECT_EQ(c.expanded, ExpandScriptVariables(c.text, variables)) << c.text;
        else
            EXPECT_THROW(ExpandScriptVariables(c.text, variables), CScriptError) << c.text;
    }
}

TEST(RegistryScriptParse, KeysAScriptTouches)
{
    const struct {
        const char* script;
        std::vector<std::string> keys; // "root path"
    } cases[] = {
        {"HKCR { A = s 'a' { B } ForceRemove C }", {"HKCR A", "HKCR C"}},
        {"HKCR { NoRemove CLSID { ForceRemove {1} { LocalServer32 } {2} } }", {"HKCR CLSID\\{1}", "HKCR CLSID\\{2}"}},
        {"HKCR { NoRemove A { NoRemove B { C } } } HKLM { D }", {"HKCR A\\B\\C", "HKLM D"}},
        {"HKCR { NoRemove A { val N = s 'n' } }", {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> keys;
        for (const auto& key : ScriptKeyPaths(ParseScript(c.script)))
            keys.push_back(key.root + " " + key.path);
        EXPECT_EQ(c.keys, keys) << c.script;
    }
}

} // namespace
