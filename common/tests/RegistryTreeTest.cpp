// Registry trees saved, deleted, put back and listed, in the 64-bit view.

#include "Handles.h"
#include "RegistryTree.h"
#include "testsupport/TestSupport.h"

namespace Vardel {

bool operator==(const CRegistryValue& a, const CRegistryValue& b)
{
    return a.name == b.name && a.type == b.type && a.data == b.data;
}

bool operator==(const CKeySnapshot& a, const CKeySnapshot& b)
{
    return a.name == b.name && a.values == b.values && a.children == b.children;
}

} // namespace Vardel

namespace {

using Vardel::CKeySnapshot;
constexpr REGSAM VIEW = KEY_WOW64_64KEY;
const std::string SCRATCH = "Software\\VardelRegistryTreeTest";

void Write(const std::string& path, const std::string& name, DWORD type, const std::vector<BYTE>& data)
{
    Vardel::CUniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, (SCRATCH + path).c_str(), 0, nullptr, 0,
                                             KEY_WRITE | VIEW, nullptr, key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), name.empty() ? nullptr : name.c_str(), 0, type, data.data(),
                                            static_cast<DWORD>(data.size())));
}

std::vector<BYTE> Bytes(const std::string& text)
{
    return std::vector<BYTE>(text.begin(), text.end());
}

TEST(RegistryTree, TakenTreesComeBackWholeAfterDeletion)
{
    VardelTest::CRegistryKeyGuard guard(HKEY_CURRENT_USER, SCRATCH);
    std::vector<BYTE> large(70000);
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<BYTE>(i * 7);
    Write("", "", REG_SZ, Bytes(std::string("top") + '\0'));
    Write("", std::string(300, 'n'), REG_BINARY, large);
    Write("\\A", "Count", REG_DWORD, {1, 2, 3, 4});
    Write("\\A", "List", REG_MULTI_SZ, Bytes(std::string("x\0y\0\0", 5)));
    Write("\\A\\B\\C", "Empty", REG_SZ, {});
    Write("\\" + std::string(200, 'k'), "", REG_SZ, Bytes(std::string("long name") + '\0'));

    const auto before = CKeySnapshot::Take(HKEY_CURRENT_USER, SCRATCH, VIEW);
    ASSERT_TRUE(before);
    ASSERT_EQ(ERROR_SUCCESS, Vardel::DeleteRegistryTree(HKEY_CURRENT_USER, SCRATCH, VIEW));
    EXPECT_FALSE(Vardel::RegistryKeyExists(HKEY_CURRENT_USER, SCRATCH, VIEW));
    EXPECT_FALSE(CKeySnapshot::Take(HKEY_CURRENT_USER, SCRATCH, VIEW));

    ASSERT_EQ(ERROR_SUCCESS, before->Restore(HKEY_CURRENT_USER, SCRATCH, VIEW));
    const auto after = CKeySnapshot::Take(HKEY_CURRENT_USER, SCRATCH, VIEW);
    ASSERT_TRUE(after);
    EXPECT_TRUE(*before == *after);

    std::vector<std::string> lines;
    after->List("T", lines);
    EXPECT_EQ((std::vector<std::string>{"T @=top", "T " + std::string(300, 'n') + "=<type 3>", "T\\A Count=<type 4>",
                                        "T\\A List=<type 7>", "T\\A\\B", "T\\A\\B\\C Empty=",
                                        "T\\" + std::string(200, 'k') + " @=long name"}),
              lines);
}

TEST(RegistryTree, DeletionResults)
{
    VardelTest::CRegistryKeyGuard guard(HKEY_CURRENT_USER, SCRATCH);
    Write("\\Deep\\Er\\Est", "v", REG_SZ, Bytes(std::string("x") + '\0'));
    const struct {
        std::string path;
        LONG result;
    } cases[] = {
        {SCRATCH + "\\Deep", ERROR_SUCCESS},
        {SCRATCH + "\\Deep", ERROR_SUCCESS}, // already gone
        {SCRATCH + "\\Never\\There", ERROR_SUCCESS},
        {"", ERROR_INVALID_PARAMETER}, // never the root itself
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.result, Vardel::DeleteRegistryTree(HKEY_CURRENT_USER, c.path, VIEW)) << c.path;
        if (!c.path.empty()) {
            EXPECT_FALSE(Vardel::RegistryKeyExists(HKEY_CURRENT_USER, c.path, VIEW)) << c.path;
        }
    }
    EXPECT_TRUE(Vardel::RegistryKeyExists(HKEY_CURRENT_USER, SCRATCH, VIEW));
}

} // namespace
