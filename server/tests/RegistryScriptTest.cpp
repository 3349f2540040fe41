// The registrar over script text, applied to a scratch key that stands in
// for HKEY_CLASSES_ROOT, with the results read back as exact listings.

#include "Handles.h"
#include "RegistryScript.h"
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
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, SCRATCH, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 m_root.put(), nullptr));
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

TEST_F(RegistryScript, UnregisterLeavesAKeyThatStillHoldsAForeignSubkey)
{
    m_registrar.AddVariable("MODULE", "thing.exe");
    ASSERT_HR(S_OK, m_registrar.Register(CLASS_SCRIPT));
    Set("Vendor.Thing.1\\Foreign", "", "someone else's");
    EXPECT_HR(S_OK, m_registrar.Unregister(CLASS_SCRIPT));
    EXPECT_EQ((Lines{"CLSID", "Vendor.Thing.1 @=Thing Class", "Vendor.Thing.1\\Foreign @=someone else's"}),
              Listing());
}

TEST_F(RegistryScript, NamedValuesUnderANoRemoveKeyGoWhileItsOtherValuesStay)
{
    Set("Shared", "Mine", "old");
    Set("Shared", "Theirs", "kept");
    const char* script = "HKCR { NoRemove Shared { val Mine = s 'new' } }";
    ASSERT_HR(S_OK, m_registrar.Register(script));
    EXPECT_EQ((Lines{"Shared Mine=new", "Shared Theirs=kept"}), Listing());
    EXPECT_HR(S_OK, m_registrar.Unregister(script));
    EXPECT_EQ((Lines{"Shared Theirs=kept"}), Listing());
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
    const Lines before = Listing();

    // Writes new keys, overwrites values, replaces a ForceRemove tree, and
    // then fails on a key name longer than the registry allows.
    const std::string script = "HKCR {\n"
                               "  Existing = s 'after' { val Named = s 'named after' val New = s 'n' }\n"
                               "  ForceRemove Replaced = s 'r' { Other = s 'o' }\n"
                               "  Fresh = s 'f' { Deeper { Deepest = s 'd' } }\n"
                               "  Fresh2 { '" + std::string(300, 'k') + "' = s 'too long' }\n"
                               "}";
    HRESULT hr = m_registrar.Register(script);
    EXPECT_TRUE(FAILED(hr)) << HrText(hr);
    EXPECT_NE(HrText(DISP_E_EXCEPTION), HrText(hr)) << "the script itself is valid";
    EXPECT_EQ(before, Listing());
}

} // namespace
