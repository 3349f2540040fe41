// Registration through the executable's switches, read back from the
// registry, and what the executable carries: type library, version
// resource, subsystem.

#include "ServerHarness.h"

#include <algorithm>
#include <oleauto.h>

using namespace VardelTest;

namespace {


std::vector<std::string> Listing(const std::string& path)
{
    std::vector<std::string> lines;
    Vardel::CUniqueHKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS)
        CollectRegistryTree(key.get(), path, lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

using Lines = std::vector<std::string>;

class Registration : public ::testing::Test {
protected:
    const std::string m_clsid = GuidText(CLSID_VardelEventLog);
    const std::string m_libid = GuidText(LIBID_VARDELEVENTLOGGERLib);
    const std::string m_iid = GuidText(IID_IVardelEventLog);
    const std::string m_diid = GuidText(DIID__IVardelEventLogEvents);
    CRegistrationGuard m_guard;

    Lines ClassEntries(const std::string& server) const
    {
        const std::string k = "CLSID\\" + m_clsid;
        return Lines{k + " @=VardelEventLog Class",
                     k + " AppID=" + Expected::APPID_TEXT,
                     k + "\\LocalServer32 @=" + ShortPathOrLong(server),
                     k + "\\ProgID @=VardelEventLogger.VardelEventLog.1",
                     k + "\\Programmable",
                     k + "\\TypeLib @=" + m_libid,
                     k + "\\VersionIndependentProgID @=VardelEventLogger.VardelEventLog"};
    }

    // The script entries and the type library of one registration.
    void ExpectRegistered(const std::string& server)
    {
        EXPECT_EQ((Lines{std::string("AppID\\") + Expected::APPID_TEXT + " @=VardelEventLogger"}),
                  Listing(std::string("AppID\\") + Expected::APPID_TEXT));
        EXPECT_EQ((Lines{std::string("AppID\\VardelEventLogger.EXE AppID=") + Expected::APPID_TEXT}),
                  Listing("AppID\\VardelEventLogger.EXE"));
        EXPECT_EQ((Lines{"VardelEventLogger.VardelEventLog.1 @=VardelEventLog Class",
                         "VardelEventLogger.VardelEventLog.1\\CLSID @=" + m_clsid}),
                  Listing(Expected::VERSIONED_PROGID));
        EXPECT_EQ((Lines{"VardelEventLogger.VardelEventLog @=VardelEventLog Class",
                         "VardelEventLogger.VardelEventLog\\CLSID @=" + m_clsid,
                         "VardelEventLogger.VardelEventLog\\CurVer @=VardelEventLogger.VardelEventLog.1"}),
                  Listing(Expected::PROGID));
        EXPECT_EQ(ClassEntries(server), Listing("CLSID\\" + m_clsid));

        const std::string lib = "TypeLib\\" + m_libid + "\\1.0";
        std::string text;
        EXPECT_TRUE(RegGetString(HKEY_CLASSES_ROOT, lib, "", text));
        EXPECT_EQ("VardelEventLogger 1.0 Type Library", text);
        EXPECT_TRUE(RegGetString(HKEY_CLASSES_ROOT, lib + "\\0\\win32", "", text)) << "registered as 32-bit Windows";
        EXPECT_EQ(Lower(server), Lower(text));
        EXPECT_TRUE(RegGetString(HKEY_CLASSES_ROOT, lib + "\\HELPDIR", "", text));
        EXPECT_EQ(Lower(server.substr(0, server.find_last_of('\\') + 1)), Lower(text));
        EXPECT_TRUE(RegGetString(HKEY_CLASSES_ROOT, "Interface\\" + m_iid + "\\TypeLib", "", text));
        EXPECT_EQ(m_libid, text);
        EXPECT_TRUE(RegGetString(HKEY_CLASSES_ROOT, "Interface\\" + m_iid + "\\ProxyStubClsid32", "", text));
        EXPECT_EQ("{00020424-0000-0000-C000-000000000046}", text) << "marshalled through the type library";
    }

    void ExpectUnregistered()
    {
        EXPECT_TRUE(RegKeyExists(HKEY_CLASSES_ROOT, "AppID"));
        EXPECT_TRUE(RegKeyExists(HKEY_CLASSES_ROOT, "CLSID"));
        for (const std::string& gone :
             {std::string("AppID\\") + Expected::APPID_TEXT, std::string("AppID\\VardelEventLogger.EXE"), std::string(Expected::PROGID),
              std::string(Expected::VERSIONED_PROGID), "CLSID\\" + m_clsid, "TypeLib\\" + m_libid, "Interface\\" + m_iid,
              "Interface\\" + m_diid})
            EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, gone)) << gone;
    }

    static std::string Lower(std::string text)
    {
        CharLowerA(&text[0]);
        return text;
    }
};

TEST_F(Registration, RegServerWritesExactlyTheTableEntries)
{
    ASSERT_EQ(0u, RunServer("/RegServer"));
    ExpectRegistered(ServerPath());

    // Where the file system has a short form (under Wine a hashed name like
    // VARD~YEG.EXE), LocalServer32 uses it, and it names the server.
    std::string localServer;
    ASSERT_TRUE(RegGetString(HKEY_CLASSES_ROOT, "CLSID\\" + m_clsid + "\\LocalServer32", "", localServer));
    EXPECT_TRUE(FileExists(localServer)) << localServer;
    char longForm[MAX_PATH * 2];
    ASSERT_NE(0u, GetLongPathNameA(localServer.c_str(), longForm, sizeof longForm));
    EXPECT_EQ(Lower(ServerPath()), Lower(longForm));
    std::printf("LocalServer32 = %s\n", localServer.c_str());

    // The library registered under the class's TypeLib is the one the
    // executable carries: its own LIBID, loadable through the registration.
    CComInit com;
    ITypeLib* registered = nullptr;
    ASSERT_HR(S_OK, LoadRegTypeLib(LIBID_VARDELEVENTLOGGERLib, 1, 0, 0, &registered));
    TLIBATTR* attributes = nullptr;
    ASSERT_HR(S_OK, registered->GetLibAttr(&attributes));
    std::string classTypeLib;
    EXPECT_TRUE(RegGetString(HKEY_CLASSES_ROOT, "CLSID\\" + m_clsid + "\\TypeLib", "", classTypeLib));
    EXPECT_EQ(classTypeLib, GuidText(attributes->guid));
    EXPECT_EQ(SYS_WIN32, attributes->syskind);
    registered->ReleaseTLibAttr(attributes);
    registered->Release();
}

TEST_F(Registration, RegisteringTwiceLeavesOneSet)
{
    ASSERT_EQ(0u, RunServer("/RegServer"));
    SetRegString(HKEY_CLASSES_ROOT, "CLSID\\" + m_clsid + "\\InprocServer32", "", "stale.dll");
    SetRegString(HKEY_CLASSES_ROOT, "CLSID\\" + m_clsid, "Stale", "x");
    ASSERT_EQ(0u, RunServer("/RegServer"));
    ExpectRegistered(ServerPath());
}

TEST_F(Registration, UnregServerRemovesEverythingButTheSharedRoots)
{
    ASSERT_EQ(0u, RunServer("/RegServer"));
    EXPECT_EQ(0u, RunServer("/UnregServer"));
    ExpectUnregistered();
    // Nothing left to remove still reports success.
    EXPECT_EQ(0u, RunServer("/UnregServer"));
    ExpectUnregistered();
}

TEST_F(Registration, UnregServerTakesItsAppIDFromAKeyKeptForAnotherProgram)
{
    ASSERT_EQ(0u, RunServer("/RegServer"));
    SetRegString(HKEY_CLASSES_ROOT, "AppID\\VardelEventLogger.EXE\\Other", "", "kept");
    EXPECT_EQ(0u, RunServer("/UnregServer"));
    EXPECT_EQ((Lines{"AppID\\VardelEventLogger.EXE", "AppID\\VardelEventLogger.EXE\\Other @=kept"}),
              Listing("AppID\\VardelEventLogger.EXE"));
}

TEST_F(Registration, TheSwitchMustBeTheLastThingOnTheLine)
{
    if (HostEventExists())
        GTEST_SKIP() << "a host is running: a server started here would not end at once";
    EXPECT_EQ(0u, RunServer("-REGSERVER"));
    EXPECT_TRUE(RegKeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + m_clsid));
    EXPECT_EQ(0u, RunServer("/unregserver"));
    EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + m_clsid));
    EXPECT_EQ(0u, RunServer("/UnregServer /RegServer"));
    EXPECT_TRUE(RegKeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + m_clsid));
    EXPECT_EQ(0u, RunServer("-unregServer"));

    // These run the server, which without the host event ends at once and
    // registers nothing.
    for (const char* run : {"/RegServer /s", "/RegServer ", "-Embedding", "/Reg", ""}) {
        EXPECT_EQ(0u, RunServer(run)) << run;
        EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + m_clsid)) << run;
        EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, Expected::PROGID)) << run;
    }
    EXPECT_TRUE(ServerProcessIds().empty());
}

TEST_F(Registration, APathWithAQuoteIsRegisteredAsItIs)
{
    // An apostrophe is a valid short-name character, so it reaches the
    // script through %MODULE% and must be doubled there.
    const std::string folder = "C:\\Korvane\\VardelServerTest\\it's";
    MakeEmptyFolder(folder);
    const std::string copy = folder + "\\VardelEventLogger.exe";
    ASSERT_TRUE(CopyFileA(ServerPath().c_str(), copy.c_str(), FALSE)) << GetLastError();

    EXPECT_EQ(0u, RunServer("/RegServer", copy));
    ExpectRegistered(copy);
    std::string localServer;
    RegGetString(HKEY_CLASSES_ROOT, "CLSID\\" + m_clsid + "\\LocalServer32", "", localServer);
    EXPECT_NE(std::string::npos, localServer.find("it's")) << localServer;
    EXPECT_EQ(0u, RunServer("/UnregServer", copy));
    ExpectUnregistered();
    RemoveTree("C:\\Korvane\\VardelServerTest");
}

TEST(ServerImage, TheEmbeddedTypeLibraryDescribesTheInterface)
{
    CComInit com;
    const std::string server = ServerPath();
    const std::wstring path(server.begin(), server.end());
    ITypeLib* library = nullptr;
    ASSERT_HR(S_OK, LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library));

    TLIBATTR* attributes = nullptr;
    ASSERT_HR(S_OK, library->GetLibAttr(&attributes));
    EXPECT_EQ(GuidText(LIBID_VARDELEVENTLOGGERLib), GuidText(attributes->guid)) << "the LIBID that is registered";
    EXPECT_EQ(1, attributes->wMajorVerNum);
    EXPECT_EQ(0, attributes->wMinorVerNum);
    EXPECT_EQ(0u, attributes->lcid);
    EXPECT_EQ(SYS_WIN32, attributes->syskind);
    library->ReleaseTLibAttr(attributes);

    BSTR name = nullptr, help = nullptr;
    ASSERT_HR(S_OK, library->GetDocumentation(-1, &name, &help, nullptr, nullptr));
    EXPECT_EQ(std::wstring(L"VARDELEVENTLOGGERLib"), name);
    EXPECT_EQ(std::wstring(L"VardelEventLogger 1.0 Type Library"), help);
    SysFreeString(name);
    SysFreeString(help);

    // The coclass names IVardelEventLog as its one, default interface.
    ITypeInfo* coclass = nullptr;
    ASSERT_HR(S_OK, library->GetTypeInfoOfGuid(CLSID_VardelEventLog, &coclass));
    TYPEATTR* classAttr = nullptr;
    ASSERT_HR(S_OK, coclass->GetTypeAttr(&classAttr));
    EXPECT_EQ(TKIND_COCLASS, classAttr->typekind);
    EXPECT_EQ(1, classAttr->cImplTypes);
    EXPECT_TRUE(classAttr->wTypeFlags & TYPEFLAG_FCANCREATE);
    coclass->ReleaseTypeAttr(classAttr);
    INT flags = 0;
    EXPECT_HR(S_OK, coclass->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
    coclass->Release();

    // LogEvent: dispatch identifier 1, five [in] parameters.
    ITypeInfo* dual = nullptr;
    ASSERT_HR(S_OK, library->GetTypeInfoOfGuid(IID_IVardelEventLog, &dual));
    LPOLESTR method = const_cast<LPOLESTR>(L"LogEvent");
    MEMBERID id = 0;
    EXPECT_HR(S_OK, dual->GetIDsOfNames(&method, 1, &id));
    EXPECT_EQ(1, id);
    TYPEATTR* dualAttr = nullptr;
    ASSERT_HR(S_OK, dual->GetTypeAttr(&dualAttr));
    EXPECT_EQ(TKIND_DISPATCH, dualAttr->typekind);
    EXPECT_TRUE(dualAttr->wTypeFlags & TYPEFLAG_FDUAL);
    dual->ReleaseTypeAttr(dualAttr);

    // Its vtable side: IDispatch's seven slots, then LogEvent.
    HREFTYPE vtableRef = 0;
    ASSERT_HR(S_OK, dual->GetRefTypeOfImplType(-1, &vtableRef));
    ITypeInfo* vtable = nullptr;
    ASSERT_HR(S_OK, dual->GetRefTypeInfo(vtableRef, &vtable));
    TYPEATTR* vtableAttr = nullptr;
    ASSERT_HR(S_OK, vtable->GetTypeAttr(&vtableAttr));
    EXPECT_EQ(TKIND_INTERFACE, vtableAttr->typekind);
    EXPECT_TRUE(vtableAttr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
    EXPECT_EQ(1, vtableAttr->cFuncs);
    vtable->ReleaseTypeAttr(vtableAttr);
    FUNCDESC* function = nullptr;
    ASSERT_HR(S_OK, vtable->GetFuncDesc(0, &function));
    EXPECT_EQ(1, function->memid);
    EXPECT_EQ(5, function->cParams);
    EXPECT_EQ(CC_STDCALL, function->callconv);
    EXPECT_EQ(VT_HRESULT, function->elemdescFunc.tdesc.vt);
    EXPECT_EQ(7 * static_cast<int>(sizeof(void*)), function->oVft);
    const VARTYPE types[] = {VT_USERDEFINED, VT_INT, VT_BSTR, VT_UI4, VT_BSTR};
    for (int i = 0; i < 5 && i < function->cParams; ++i) {
        EXPECT_EQ(types[i], function->lprgelemdescParam[i].tdesc.vt) << "parameter " << i;
        EXPECT_TRUE(function->lprgelemdescParam[i].paramdesc.wParamFlags & PARAMFLAG_FIN) << "parameter " << i;
    }
    vtable->ReleaseFuncDesc(function);
    vtable->Release();
    dual->Release();

    // The events dispinterface stands alone, with nothing in it.
    ITypeInfo* events = nullptr;
    ASSERT_HR(S_OK, library->GetTypeInfoOfGuid(DIID__IVardelEventLogEvents, &events));
    TYPEATTR* eventsAttr = nullptr;
    ASSERT_HR(S_OK, events->GetTypeAttr(&eventsAttr));
    EXPECT_EQ(TKIND_DISPATCH, eventsAttr->typekind);
    EXPECT_EQ(0, eventsAttr->cVars);
    events->ReleaseTypeAttr(eventsAttr);
    events->Release();

    library->Release();
}

TEST(ServerImage, VersionResourceAndWindowsSubsystem)
{
    const std::string path = ServerPath();
    const std::string client = path.substr(0, path.find_last_of('\\')) + "\\vardel-log.exe";
    // What a site's inventory and its application-control rules read, from both executables.
    const struct {
        std::string file;
        std::vector<std::pair<const char*, const char*>> strings;
    } images[] = {
        {path,
         {{"CompanyName", ""},
          {"FileDescription", "VardelEventLogger Module"},
          {"FileVersion", "1, 0, 0, 1"},
          {"InternalName", "VardelEventLogger"},
          {"LegalCopyright", "Copyright (C) 2026 Pellucor"},
          {"OLESelfRegister", ""},
          {"OriginalFilename", "VardelEventLogger.EXE"},
          {"ProductName", "VardelEventLogger Module"},
          {"ProductVersion", "1, 0, 0, 1"}}},
        {client,
         {{"CompanyName", "Pellucor"},
          {"FileDescription", "VardelEventLogger command-line client"},
          {"FileVersion", "1, 0, 0, 1"},
          {"LegalCopyright", "Copyright (C) 2026 Pellucor"},
          {"OriginalFilename", "vardel-log.exe"},
          {"ProductName", "VardelEventLogger Module"},
          {"ProductVersion", "1, 0, 0, 1"}}},
    };
    for (const auto& image : images) {
        SCOPED_TRACE(image.file);
        DWORD handle = 0;
        DWORD size = GetFileVersionInfoSizeA(image.file.c_str(), &handle);
        ASSERT_NE(0u, size);
        std::vector<char> data(size);
        ASSERT_TRUE(GetFileVersionInfoA(image.file.c_str(), 0, size, data.data()));

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
        EXPECT_EQ(0x00000001u, fixed->dwFileVersionLS);
        EXPECT_EQ(0x00010000u, fixed->dwProductVersionMS);
        EXPECT_EQ(0x00000001u, fixed->dwProductVersionLS);

        WORD* translation = nullptr;
        ASSERT_TRUE(VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                                   &length));
        ASSERT_EQ(4u, length);
        EXPECT_EQ(0x0409, translation[0]);
        EXPECT_EQ(0x04B0, translation[1]);

        for (const auto& entry : image.strings) {
            char* value = nullptr;
            length = 0;
            std::string query = std::string("\\StringFileInfo\\040904B0\\") + entry.first;
            ASSERT_TRUE(VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
                << entry.first;
            EXPECT_EQ(entry.second, std::string(value, strnlen(value, length))) << entry.first;
        }
    }

    // A windowless program of the GUI subsystem.
    HMODULE image = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, image);
    auto base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(image) & ~static_cast<ULONG_PTR>(3));
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, nt->OptionalHeader.Subsystem);
    FreeLibrary(image);
}

} // namespace
