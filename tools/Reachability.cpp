#include "Reachability.h"

#include "FixedNames.h"
#include "Handles.h"
#include "HostEvent.h"
#include "RegistryTree.h"

#include <cstring>

namespace VardelTools {

namespace {

// The default value of HKCR\path in the view, or nothing when absent.
bool ReadClassesValue(REGSAM view, const std::string& path, std::string& value)
{
    Vardel::CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS)
        return false;
    Vardel::CRegistryValue read;
    if (!Vardel::ReadRegistryValue(key.get(), std::string(), read) || (read.type != REG_SZ && read.type != REG_EXPAND_SZ))
        return false;
    value.assign(read.data.begin(), read.data.end());
    value.resize(std::strlen(value.c_str()));
    return true;
}

bool ClassesKeyExists(REGSAM view, const std::string& path)
{
    return Vardel::RegistryKeyExists(HKEY_CLASSES_ROOT, path, view);
}

bool FileExists(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

std::string CRegistrationView::Missing() const
{
    const std::string clsid = "HKEY_CLASSES_ROOT\\CLSID\\" + Vardel::GuidText(CLSID_VardelEventLog);
    if (!progId)
        return std::string("HKEY_CLASSES_ROOT\\") + Vardel::PROGID + "\\CLSID is missing or names another class";
    if (localServer.empty())
        return clsid + "\\LocalServer32 is missing";
    if (!serverExists)
        return clsid + "\\LocalServer32 names " + serverFile + ", which does not exist";
    if (typeLibFile.empty())
        return "the type library " + Vardel::GuidText(LIBID_VARDELEVENTLOGGERLib) + " 1.0 is not registered";
    if (!typeLibExists)
        return "the registered type library file " + typeLibFile + " does not exist";
    if (!interfaceRegistered)
        return "HKEY_CLASSES_ROOT\\Interface\\" + Vardel::GuidText(IID_IVardelEventLog) + " is missing";
    return std::string();
}

std::string ServerFileOf(const std::string& commandLine)
{
    std::string line = commandLine;
    line.erase(0, line.find_first_not_of(' '));
    if (!line.empty() && line[0] == '"') {
        const std::size_t close = line.find('"', 1);
        return line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    // Unquoted: up to the first switch, blanks at its end dropped.
    std::size_t end = line.size();
    for (std::size_t blank = line.find(' '); blank != std::string::npos; blank = line.find(' ', blank + 1))
        if (blank + 1 < line.size() && (line[blank + 1] == '/' || line[blank + 1] == '-')) {
            end = blank;
            break;
        }
    line.resize(end);
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

CRegistrationView ReadRegistration(REGSAM view)
{
    CRegistrationView r;
    const std::string clsid = Vardel::GuidText(CLSID_VardelEventLog);
    std::string named;
    r.progId = ReadClassesValue(view, std::string(Vardel::PROGID) + "\\CLSID", named) && _stricmp(named.c_str(), clsid.c_str()) == 0;
    if (ReadClassesValue(view, "CLSID\\" + clsid + "\\LocalServer32", r.localServer)) {
        r.serverFile = ServerFileOf(r.localServer);
        r.serverExists = FileExists(r.serverFile);
    }
    const std::string typeLib = "TypeLib\\" + Vardel::GuidText(LIBID_VARDELEVENTLOGGERLib) + "\\1.0\\0\\win32";
    if (ReadClassesValue(view, typeLib, r.typeLibFile))
        r.typeLibExists = FileExists(r.typeLibFile);
    r.interfaceRegistered = ClassesKeyExists(view, "Interface\\" + Vardel::GuidText(IID_IVardelEventLog) + "\\TypeLib");
    return r;
}

REGSAM OwnRegistryView()
{
    return sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

std::string CComLookup::Why(const CRegistrationView& keys) const
{
    if (!progId)
        return keys.progId ? std::string("COM does not resolve ") + Vardel::PROGID : keys.Missing();
    if (serverFile.empty())
        return keys.Missing().empty() ? std::string("no LocalServer32 names an existing executable")
                                      : keys.Missing() + ", and the other view has no usable LocalServer32 either";
    return std::string();
}

CComLookup LookUpLikeCom(REGSAM view)
{
    CComLookup found;
    const CRegistrationView keys = ReadRegistration(view);
    if (view == OwnRegistryView()) {
        CLSID clsid = {};
        found.progId = SUCCEEDED(Vardel::ClsidFromProgId(Vardel::PROGID, &clsid)) && clsid == CLSID_VardelEventLog;
    } else {
        found.progId = keys.progId;
    }
    if (keys.serverExists) {
        found.serverFile = keys.serverFile;
    } else if (keys.localServer.empty()) {
        const CRegistrationView other = ReadRegistration(view == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
        if (other.serverExists) {
            found.serverFile = other.serverFile;
            found.otherView = true;
        }
    }
    return found;
}

std::string WhyTheServerCannotBeReached()
{
    const CComLookup com = LookUpLikeCom(OwnRegistryView());
    std::string why;
    if (!com.Found())
        why = std::string(Vardel::PROGID) + " is not registered (0x80040154, class not registered: " +
              com.Why(ReadRegistration(OwnRegistryView())) + "); run VardelEventLogger.exe /RegServer";
    if (!Vardel::HostEventExists())
        why += std::string(why.empty() ? "" : "; and ") + "the Korvane host product is not running: its event \"" +
               Vardel::HOST_EVENT_NAME + "\" does not exist, and a server ends at once without it; start the host product first";
    return why;
}

HRESULT CreateLogObject(Vardel::CComOwner<IVardelEventLog>& log)
{
    // A missing ProgID falls back to the class identifier, so that the error
    // reported is the one of the class itself.
    // A failed lookup may clear what it was given, so it gets its own.
    CLSID clsid = CLSID_VardelEventLog, named = {};
    if (SUCCEEDED(Vardel::ClsidFromProgId(Vardel::PROGID, &named)))
        clsid = named;
    return ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IVardelEventLog,
                              reinterpret_cast<void**>(log.put()));
}

} // namespace VardelTools
