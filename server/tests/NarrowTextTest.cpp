// UTF-16 to narrow text: cut at the first NUL, sized by the conversion.

#include "NarrowText.h"

#include "ClientSupport.h"
#include "Win32Error.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <oleauto.h>

using VardelServer::NarrowFromBstr;
using VardelServer::NarrowText;

using VardelTest::CBstr;

TEST(NarrowText, NullEmptyAndEmbeddedNul)
{
    EXPECT_EQ("", NarrowFromBstr(nullptr));
    CBstr empty(L"", 0);
    EXPECT_EQ("", NarrowFromBstr(empty.get()));
    CBstr cut(L"abc\0def", 7);
    EXPECT_EQ("abc", NarrowFromBstr(cut.get()));
    CBstr leading(L"\0abc", 4);
    EXPECT_EQ("", NarrowFromBstr(leading.get()));
    CBstr plain(L"Pump Control", 12);
    EXPECT_EQ("Pump Control", NarrowFromBstr(plain.get()));
}

TEST(NarrowText, ThreeBytesPerUnitFitWhenTheCodePageNeedsThem)
{
    // 2 x length + 2 bytes would hold only two thirds of this.
    std::wstring euros(5000, L'\x20AC');
    std::string narrow = NarrowText(euros.c_str(), euros.size(), CP_UTF8);
    ASSERT_EQ(15000u, narrow.size());
    for (size_t i = 0; i < narrow.size(); i += 3)
        ASSERT_EQ("\xE2\x82\xAC", narrow.substr(i, 3)) << "at " << i;

    // A surrogate pair is four bytes for two units.
    const wchar_t clef[] = {0xD834, 0xDD1E};
    EXPECT_EQ("\xF0\x9D\x84\x9E", NarrowText(clef, 2, CP_UTF8));
}

TEST(NarrowText, TheAnsiCodePageMapsWhatItHasAndDefaultsTheRest)
{
    const int expected = WideCharToMultiByte(CP_ACP, 0, L"\x20AC\x4E2D", 2, nullptr, 0, nullptr, nullptr);
    std::wstring long_run(3000, L'\x20AC');
    EXPECT_EQ(static_cast<size_t>(WideCharToMultiByte(CP_ACP, 0, long_run.c_str(), 3000, nullptr, 0, nullptr,
                                                      nullptr)),
              NarrowText(long_run.c_str(), long_run.size()).size());
    if (GetACP() != 1252)
        GTEST_SKIP() << "the byte values below are those of code page 1252, this prefix uses " << GetACP()
                     << " (" << expected << " bytes for the pair)";
    EXPECT_EQ("\xE9\x80?", NarrowText(L"\xE9\x20AC\x4E2D", 3));
}

TEST(NarrowText, AFailedConversionThrowsItsWindowsError)
{
    try {
        NarrowText(L"abc", 3, 12345); // no such code page
        FAIL() << "no exception";
    } catch (const Vardel::CWin32Error& error) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), error.Error());
    }
}
