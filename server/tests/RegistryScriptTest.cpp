// The registrar over script text, applied to a scratch key that stands in
// for HKEY_CLASSES_ROOT, with the results read back as exact listings.

#include "Handles.h"
#include "Registrar.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <algorithm>

using namespace VardelServer;
using namespace VardelTest;

namespace {

const char* const SCRATCH = "Software\\VardelRegistrarTest";


class RegistryScript : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, SCRATCH, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, m_root.put(), nullptr));
        m_registrar.RedirectRoot(HKEY_CLASSES_ROOT, m_root.get());
    }

    // Every key and value below the scratch root, one per line, sorted;
    // a key without values is listed by its path alone.
    std::vector<std::string> Listing() const
    {
        std::vector<std::string> lines;
        CollectRegistryTree(m_root.get(), "", lines);
        lines.erase(std::remove(lines.begin(), lines.end(), std::string()), lines.end());
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    void Set(const std::string& path, const std::string& name, const std::string& value)
    {
        SetRegString(HKEY_CURRENT_USER, std::string(SCRATCH) + "\\" + path, name, value);
    }

    CRegistryKeyGuard m_guard{HKEY_CURRENT_USER, SCRATCH};
    Vardel::CUniqueHKey m_root;
    CRegistrar m_registrar;
};

using Lines = std::vector<std::string>;

const char* const CLASS_SCRIPT = R"(
HKCR
{
	Vendor.Thing.1 = s 'Thing Class'
	{
		CLSID = s '{1}'
	}
	NoRemove CLSID
	{
		ForceRemove {1} = s 'Thing Class'
		{
			val AppID = s '{2}'
			ForceRemove 'Programmable'
			LocalServer32 = s '%MODULE%'
		}
	}
}
)";

TEST_F(RegistryScript, RegisterWritesKeysDefaultAndNamedValues)
{
    m_registrar.AddVariable("MODULE", "C:\\PROGRA~1\\THING.EXE");
    EXPECT_HR(S_OK, m_registrar.Register(CLASS_SCRIPT));
    EXPECT_EQ((Lines{"CLSID",
                     "CLSID\\{1} @=Thing Class",
                     "CLSID\\{1} AppID={2}",
                     "CLSID\\{1}\\LocalServer32 @=C:\\PROGRA~1\\THING.EXE",
                     "CLSID\\{1}\\Programmable",
                     "Vendor.Thing.1 @=Thing Class",
                     "Vendor.Thing.1\\CLSID @={1}"}),
              Listing());
}

TEST_F(RegistryScript, ForceRemoveReplacesTheWholeTreeSoTwiceLeavesOneSet)
{
    m_registrar.AddVariable("MODULE", "old.exe");
    ASSERT_HR(S_OK, m_registrar.Register(CLASS_SCRIPT));
    Set("CLSID\\{1}\\InprocServer32", "", "stale.dll");
    Set("CLSID\\{1}", "Stale", "x");
    Set("CLSID\\{other}", "", "Other Class");

    CRegistrar again;
    again.RedirectRoot(HKEY_CLASSES_ROOT, m_root.get());
    again.AddVariable("MODULE", "new.exe");
    EXPECT_HR(S_OK, again.Register(CLASS_SCRIPT));
    EXPECT_EQ((Lines{"CLSID",
                     "CLSID\\{1} @=Thing Class",
                     "CLSID\\{1} AppID={2}",
                     "CLSID\\{1}\\LocalServer32 @=new.exe",
                     "CLSID\\{1}\\Programmable",
                     "CLSID\\{other} @=Other Class",
                     "Vendor.Thing.1 @=Thing Class",
                     "Vendor.Thing.1\\CLSID @={1}"}),
              Listing());
}

TEST_F(RegistryScript, UnregisterKeepsNoRemoveKeysAndWhatTheScriptDoesNotName)
{
    m_registrar.AddVariable("MODULE", "thing.exe");
    ASSERT_HR(S_OK, m_registrar.Register(CLASS_SCRIPT));
    Set("CLSID\\{other}", "", "Other Class");
    Set("CLSID\\{1}\\Extra", "", "goes with the ForceRemove tree");
    EXPECT_HR(S_OK, m_registrar.Unregister(CLASS_SCRIPT));
    EXPECT_EQ((Lines{"CLSID", "CLSID\\{other} @=Other Class"}), Listing());

    // Nothing left to remove is no failure.
    EXPECT_HR(S_OK, m_registrar.Unregister(CLASS_SCRIPT));
}

TEST_F(RegistryScript, KeysThatStayLoseTheValuesTheScriptNames)
{
    // A key kept for a foreign subkey loses every value the script gave it,
    // so that nothing left names what is gone; a NoRemove key keeps its
    // default value, which describes the shared key.
    const struct {
        const char* script;
        const char* kept; // gets a foreign subkey and value before unregistration
        Lines after;
    } cases[] = {
        {"HKCR { Thing.1 = s 'Thing Class' { val Extra = s 'x' CLSID = s '{1}' } }", "Thing.1",
         {"Thing.1 Theirs=kept", "Thing.1\\Foreign @=someone else's"}},
        {"HKCR { NoRemove AppID { 'Thing.EXE' { val AppID = s '{2}' } } }", "AppID\\Thing.EXE",
         {"AppID", "AppID\\Thing.EXE Theirs=kept", "AppID\\Thing.EXE\\Foreign @=someone else's"}},
        {"HKCR { NoRemove Thing.1 = s 'Shared' { val Mine = s 'm' } }", "Thing.1",
         {"Thing.1 @=Shared", "Thing.1 Theirs=kept", "Thing.1\\Foreign @=someone else's"}},
    };
    for (const auto& c : cases) {
        ASSERT_HR(S_OK, m_registrar.Register(c.script)) << c.script;
        Set(std::string(c.kept) + "\\Foreign", "", "someone else's");
        Set(c.kept, "Theirs", "kept");
        EXPECT_HR(S_OK, m_registrar.Unregister(c.script)) << c.script;
        EXPECT_EQ(c.after, Listing()) << c.script;
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(m_root.get(), nullptr));
    }
}

TEST_F(RegistryScript, QuotesKeywordsAndVariables)
{
    // Doubled quotes, keywords in any case, quoted names that look like
    // keywords, %% and a variable whose text carries quotes.
    m_registrar.AddVariable("MODULE", QuoteForScript("C:\\it's\\a.exe"));
    const char* script = "hkey_classes_root {\r\n"
                         "  'It''s' = S 'a ''b'' c'\n"
                         "  noremove 'val' { VAL 'NoRemove' = s '100%%' }\n"
                         "  FORCEREMOVE path = s '%MODULE%'\n"
                         "}";
    EXPECT_HR(S_OK, m_registrar.Register(script));
    EXPECT_EQ((Lines{"It's @=a 'b' c", "path @=C:\\it's\\a.exe", "val NoRemove=100%"}), Listing());
    EXPECT_EQ("a''b", QuoteForScript("a'b"));
}

TEST_F(RegistryScript, ScriptsThatDoNotParseChangeNothing)
{
    const char* bad[] = {
        "HKCR { A = s 'x' { B = s 'y' }",         // missing closing brace
        "HKCR { A = s 'unterminated }",           // quote never closed
        "HKCR { val A = s 'x' }",                 // a value needs a key
        "HKCR { A { val N = d '5' } }",           // only string values
        "HKCR { A\\B = s 'x' }",                  // one name, one key
        "HKXX { A = s 'x' }",                     // unknown root
        "HKCR { A = s '%UNDEFINED%' }",           // unknown variable
        "HKCR { A = s '%MODULE }",                // unterminated variable
        "HKCR { NoRemove val A = s 'x' }",        // removal flags are for keys
        "HKCR { A = }",                           // value without type
    };
    for (const char* script : bad) {
        EXPECT_HR(DISP_E_EXCEPTION, m_registrar.Register(script)) << script;
        EXPECT_HR(DISP_E_EXCEPTION, m_registrar.Unregister(script)) << script;
        EXPECT_EQ(Lines{}, Listing()) << script;
    }
}

TEST_F(RegistryScript, AFailedRegistrationPutsEverythingBack)
{
    Set("Existing", "", "before");
    Set("Existing", "Named", "named before");
    Set("Replaced\\Child", "", "child before");

    // A volatile key takes no lasting subkeys.
    Vardel::CUniqueHKey volatileKey;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(m_root.get(), "Volatile", 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, volatileKey.put(), nullptr));
    const Lines before = Listing();

    // Writes new keys, overwrites values, replaces a ForceRemove tree, and
    // then fails on a subkey of the volatile key.
    const char* script = "HKCR {\n"
                         "  Existing = s 'after' { val Named = s 'named after' val New = s 'n' }\n"
                         "  ForceRemove Replaced = s 'r' { Other = s 'o' }\n"
                         "  Fresh = s 'f' { Deeper { Deepest = s 'd' } }\n"
                         "  Volatile { Lasting = s 'refused' }\n"
                         "}";
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE), m_registrar.Register(script));
    EXPECT_EQ(before, Listing());
}

} // namespace
