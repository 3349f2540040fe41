// Build-time tool, compiled for the build machine: turns the server's two
// registration scripts and its IDL into a WiX include, so that the package
// writes exactly the keys that the server's own registration writes, from
// the same sources. It also carries the system's fixed names (log folder,
// settings key) into the package.
//
//   wxi-registry --arch x64|x86 --idl FILE --rgs FILE [--rgs FILE] --out FILE --sql FILE
//
// FILE after --sql receives the statements that msibuild applies to the
// package that wixl built.
//
// What the type library's registration adds is the platform's rule, kept
// here: TypeLib\{LIBID}\<ver> with the library's help string, FLAGS, the
// file for locale 0 and the help folder, and for each dual or automation
// interface and each dispinterface an Interface\{IID} key with its proxy,
// stub and library. TypeLib and AppID are shared by the registry views; the
// server copies each coclass's key, the ProgIDs that key names and the
// interface keys into the other view (64-bit Windows only), and so does
// the package.

#include "FixedNames.h"
#include "RegistryScript.h"

#include <cctype>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const char* SERVER_FILE_ID = "ServerExe";
constexpr const char* PS_AUTOMATION = "{00020424-0000-0000-C000-000000000046}"; // dual and oleautomation
constexpr const char* PS_DISPATCH = "{00020420-0000-0000-C000-000000000046}";   // dispinterfaces
// Library flags as the type library compiler marks a library: it has a disk image.
constexpr const char* TYPELIB_FLAGS = "8";
// A component with no file or registry value cannot take a derived GUID.
constexpr const char* LOG_FOLDER_GUID_X64 = "3F0A9C3E-6B7D-4E21-9A54-7C1D2E8F4B10";
constexpr const char* LOG_FOLDER_GUID_X86 = "8C2E5D71-0A4B-4F36-B9E8-1D6F3A7C2E95";

struct CRow {
    std::string key;
    std::string name; // empty: the default value
    std::string value;
    bool keyOnly = false;       // an empty key (no values)
    bool removeWithTree = false; // removed with everything below it at removal
};

struct CIdlItem {
    std::string kind, name, uuid, version, help;
    bool automation = false;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Attribute blocks "[ ... ]" followed by library/interface/dispinterface/coclass NAME.
std::vector<CIdlItem> ReadIdl(const std::string& text)
{
    std::vector<CIdlItem> items;
    static const std::regex item(R"(\[([^\[\]]*)\]\s*(library|interface|dispinterface|coclass)\s+(\w+))");
    static const std::regex uuid(R"(uuid\(\s*([0-9A-Fa-f-]+)\s*\))");
    static const std::regex version(R"(version\(\s*([0-9.]+)\s*\))");
    static const std::regex help(R"|(helpstring\(\s*"([^"]*)"\s*\))|");
    static const std::regex automation(R"(\b(dual|oleautomation)\b)");
    for (std::sregex_iterator it(text.begin(), text.end(), item), end; it != end; ++it) {
        const std::string attrs = (*it)[1];
        CIdlItem entry;
        entry.kind = (*it)[2];
        entry.name = (*it)[3];
        std::smatch m;
        if (std::regex_search(attrs, m, uuid))
            entry.uuid = "{" + Upper(m[1]) + "}";
        if (std::regex_search(attrs, m, version))
            entry.version = m[1];
        if (std::regex_search(attrs, m, help))
            entry.help = m[1];
        entry.automation = std::regex_search(attrs, automation);
        if (!entry.uuid.empty())
            items.push_back(entry);
    }
    return items;
}

void AddKey(const VardelServer::CScriptKey& key, const std::string& parent, std::vector<CRow>& rows)
{
    using Removal = VardelServer::CScriptKey::Removal;
    const std::string path = parent.empty() ? key.name : parent + "\\" + key.name;
    if (key.removal != Removal::NoRemove && key.values.empty() && key.children.empty())
        rows.push_back({path, "", "", true, key.removal == Removal::ForceRemove});
    if (key.removal == Removal::ForceRemove && !(key.values.empty() && key.children.empty()))
        rows.push_back({path, "", "", true, true});
    for (const auto& value : key.values)
        rows.push_back({path, value.name, value.data});
    for (const auto& child : key.children)
        AddKey(child, path, rows);
}

std::vector<CRow> ScriptRows(const std::string& scriptText)
{
    // %MODULE% becomes the server's installed path in short form, as the
    // server's registrar writes it (formatted text [!File]).
    const VardelServer::CScriptVariables variables{{"MODULE", std::string("[!") + SERVER_FILE_ID + "]"}};
    std::vector<CRow> rows;
    for (const auto& root : VardelServer::ParseScript(VardelServer::ExpandScriptVariables(scriptText, variables))) {
        for (const auto& key : root.keys)
            AddKey(key, "", rows);
    }
    return rows;
}

bool StartsWithKey(const std::string& path, const std::string& key)
{
    return path.compare(0, key.size(), key) == 0 && (path.size() == key.size() || path[key.size()] == '\\');
}

// The rows under each coclass's CLSID key and under the ProgIDs that key
// names: what the server copies into the other registry view.
std::vector<CRow> ViewRows(const std::vector<CIdlItem>& idl, const std::vector<CRow>& scriptRows)
{
    std::vector<std::string> keys;
    for (const auto& item : idl) {
        if (item.kind != "coclass")
            continue;
        const std::string key = "CLSID\\" + item.uuid;
        keys.push_back(key);
        for (const auto& row : scriptRows)
            if ((row.key == key + "\\ProgID" || row.key == key + "\\VersionIndependentProgID") && row.name.empty() &&
                !row.value.empty() && row.value.find('\\') == std::string::npos)
                keys.push_back(row.value);
    }
    std::vector<CRow> rows;
    for (const auto& row : scriptRows)
        for (const auto& key : keys)
            if (StartsWithKey(Upper(row.key), Upper(key))) {
                rows.push_back(row);
                break;
            }
    return rows;
}

void TypeLibRows(const std::vector<CIdlItem>& idl, std::vector<CRow>& shared, std::vector<CRow>& interfaces)
{
    const CIdlItem* library = nullptr;
    for (const auto& item : idl)
        if (item.kind == "library")
            library = &item;
    if (!library)
        throw std::runtime_error("the IDL declares no library");
    const std::string version = library->version.empty() ? "0.0" : library->version;
    const std::string base = "TypeLib\\" + library->uuid + "\\" + version;
    shared.push_back({base, "", library->help});
    shared.push_back({base + "\\FLAGS", "", TYPELIB_FLAGS});
    shared.push_back({base + "\\0\\win32", "", std::string("[#") + SERVER_FILE_ID + "]"});
    shared.push_back({base + "\\HELPDIR", "", "[INSTALLDIR]"});
    for (const auto& item : idl) {
        const bool dispatch = item.kind == "dispinterface";
        if (!dispatch && !(item.kind == "interface" && item.automation))
            continue;
        const std::string key = "Interface\\" + item.uuid;
        const char* proxy = dispatch ? PS_DISPATCH : PS_AUTOMATION;
        interfaces.push_back({key, "", item.name});
        interfaces.push_back({key + "\\ProxyStubClsid", "", proxy});
        interfaces.push_back({key + "\\ProxyStubClsid32", "", proxy});
        interfaces.push_back({key + "\\TypeLib", "", library->uuid});
        interfaces.push_back({key + "\\TypeLib", "Version", version});
    }
}

// Literal text inside formatted MSI text: brackets escaped, a leading # kept literal.
std::string Formatted(const std::string& text, bool literal)
{
    std::string out;
    if (literal && !text.empty() && text[0] == '#')
        out = "#";
    for (char c : text) {
        if (literal && c == '[')
            out += "[\\[]";
        else if (literal && c == ']')
            out += "[\\]]";
        else
            out += c;
    }
    return out;
}

std::string Xml(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

bool IsPlaceholder(const std::string& value)
{
    return value.size() > 3 && value.front() == '[' && value.back() == ']' &&
           value.find('[', 1) == std::string::npos && (value[1] == '!' || value[1] == '#' || std::isupper(static_cast<unsigned char>(value[1])));
}

// wixl 0.101 knows neither component conditions, permanent components nor
// key-only registry rows: those are left to SQL statements that msibuild
// applies to the built package.
struct COutput {
    std::ostringstream wxi;
    std::vector<std::string> sql;
};

void WriteComponent(COutput& out, const std::string& id, bool win64, const std::string& root,
                    const std::vector<CRow>& rows)
{
    out.wxi << "    <Component Id=\"" << id << "\" Guid=\"*\" Win64=\"" << (win64 ? "yes" : "no") << "\">\n";
    bool keyPath = true;
    int keyRows = 0;
    for (const auto& row : rows) {
        if (row.keyOnly) {
            // Name "+" creates the key; "*" also removes it with its subtree at removal.
            out.sql.push_back("INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) VALUES ('" +
                              id + "Key" + std::to_string(++keyRows) + "', " + (root == "HKCR" ? "0" : "2") +
                              ", '" + row.key + "', '" + (row.removeWithTree ? "*" : "+") + "', '" + id + "')");
            continue;
        }
        out.wxi << "      <RegistryValue Root=\"" << root << "\" Key=\"" << Xml(row.key) << "\"";
        if (!row.name.empty())
            out.wxi << " Name=\"" << Xml(row.name) << "\"";
        out.wxi << " Type=\"string\" Value=\"" << Xml(Formatted(row.value, !IsPlaceholder(row.value))) << "\"";
        if (keyPath)
            out.wxi << " KeyPath=\"yes\"";
        keyPath = false;
        out.wxi << "/>\n";
    }
    out.wxi << "    </Component>\n";
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

int Run(int argc, char** argv)
{
    std::string arch, idlPath, outPath, sqlPath;
    std::vector<std::string> scripts;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--arch")
            arch = argv[i + 1];
        else if (option == "--idl")
            idlPath = argv[i + 1];
        else if (option == "--rgs")
            scripts.push_back(argv[i + 1]);
        else if (option == "--out")
            outPath = argv[i + 1];
        else if (option == "--sql")
            sqlPath = argv[i + 1];
        else
            throw std::runtime_error("unknown option " + option);
    }
    if ((arch != "x64" && arch != "x86") || idlPath.empty() || scripts.empty() || outPath.empty() || sqlPath.empty())
        throw std::runtime_error("usage: wxi-registry --arch x64|x86 --idl FILE --rgs FILE... --out FILE --sql FILE");
    const bool win64 = arch == "x64";

    std::vector<CRow> classRows;
    for (const auto& script : scripts) {
        auto rows = ScriptRows(ReadFile(script));
        classRows.insert(classRows.end(), rows.begin(), rows.end());
    }
    const auto idl = ReadIdl(ReadFile(idlPath));
    std::vector<CRow> otherViewRows = ViewRows(idl, classRows);
    std::vector<CRow> interfaceRows;
    TypeLibRows(idl, classRows, interfaceRows);
    otherViewRows.insert(otherViewRows.end(), interfaceRows.begin(), interfaceRows.end());

    std::string logFolder = Vardel::LOG_FOLDER_PATH;
    if (logFolder.back() != '\\')
        logFolder += '\\';
    // The directory row names the folder's last part; the property above gives its whole path.
    const std::size_t parent = logFolder.find_last_of('\\', logFolder.size() - 2);
    const std::string logFolderName = logFolder.substr(parent + 1, logFolder.size() - parent - 2);

    COutput out;
    out.wxi << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
               "<!-- Generated from the registration scripts and the IDL; do not edit. -->\n"
               "<Include>\n"
            << "    <Property Id=\"LOGFOLDER\" Value=\"" << Xml(logFolder) << "\"/>\n"
            << "    <DirectoryRef Id=\"TARGETDIR\">\n      <Directory Id=\"LOGFOLDER\" Name=\""
            << Xml(logFolderName) << "\">\n"
            << "        <Component Id=\"LogFolder\" Guid=\"" << (win64 ? LOG_FOLDER_GUID_X64 : LOG_FOLDER_GUID_X86)
            << "\" Win64=\"" << (win64 ? "yes" : "no") << "\">\n"
            << "          <CreateFolder/>\n        </Component>\n      </Directory>\n    </DirectoryRef>\n"
            << "    <DirectoryRef Id=\"INSTALLDIR\">\n";
    WriteComponent(out, "Registration", win64, "HKCR", classRows);
    WriteComponent(out, "RegistrationInterfaces", win64, "HKCR", interfaceRows);
    // The other view's copy, for clients of the other bitness; 32-bit
    // Windows has no other view.
    WriteComponent(out, "RegistrationOtherView", !win64, "HKCR", otherViewRows);
    if (!win64)
        out.sql.push_back("UPDATE `Component` SET `Condition` = 'VersionNT64' WHERE `Component` = 'RegistrationOtherView'");
    // The server reads its setting from the 32-bit view first. Written only
    // when the property is given; the condition also holds at removal, since
    // the installer here leaves a component whose condition is false in place.
    WriteComponent(out, "ExpirySetting", false, "HKLM",
                   {{Vardel::SETTINGS_KEY, Vardel::EXPIRE_DAYS_VALUE, "[EXPIRELOGSAFTER]"}});
    out.sql.push_back("UPDATE `Component` SET `Condition` = 'EXPIRELOGSAFTER OR REMOVE~=\"ALL\"' WHERE `Component` = 'ExpirySetting'");
    // The shipper: its program and service (its own process, automatic
    // start; stopped at install, upgrade and removal, removed at removal),
    // and its settings from the properties, written and the service started
    // only when COLLECTOR is given.
    out.wxi << "    <Component Id=\"Shipper\" Guid=\"*\" Win64=\"" << (win64 ? "yes" : "no") << "\">\n"
            << "      <File Id=\"ShipperExe\" Name=\"VardelShipper.exe\" Source=\"VardelShipper.exe\" KeyPath=\"yes\"/>\n"
            << "      <ServiceInstall Id=\"ShipperService\" Name=\"" << Xml(Vardel::SHIPPER_SERVICE_NAME)
            << "\" DisplayName=\"" << Xml(Vardel::SHIPPER_DISPLAY_NAME) << "\" Description=\""
            << Xml(Vardel::SHIPPER_DESCRIPTION) << "\" Type=\"ownProcess\" Start=\"auto\" ErrorControl=\"normal\"/>\n"
            << "      <ServiceControl Id=\"ShipperStop\" Name=\"" << Xml(Vardel::SHIPPER_SERVICE_NAME)
            << "\" Stop=\"both\" Remove=\"uninstall\" Wait=\"yes\"/>\n"
            << "    </Component>\n";
    WriteComponent(out, "ShipperSettings", false, "HKLM",
                   {{Vardel::SETTINGS_KEY, Vardel::SHIPPER_COLLECTOR_VALUE, "[COLLECTOR]"},
                    {Vardel::SETTINGS_KEY, Vardel::SHIPPER_HOST_VALUE, "[SHIPPERHOST]"},
                    {Vardel::SETTINGS_KEY, Vardel::SHIPPER_CA_VALUE, "[SHIPPERCA]"},
                    {Vardel::SETTINGS_KEY, Vardel::SHIPPER_CERTIFICATE_VALUE, "[SHIPPERCERTIFICATE]"},
                    {Vardel::SETTINGS_KEY, Vardel::SHIPPER_PLAIN_VALUE, "[SHIPPERPLAIN]"}});
    out.sql.push_back("UPDATE `Component` SET `Condition` = 'COLLECTOR OR REMOVE~=\"ALL\"' WHERE `Component` = 'ShipperSettings'");
    // Started at install (event 1) with its settings, not waited for.
    out.sql.push_back(std::string("INSERT INTO `ServiceControl` (`ServiceControl`, `Name`, `Event`, `Wait`, `Component_`) "
                                  "VALUES ('ShipperStart', '") + Vardel::SHIPPER_SERVICE_NAME + "', 1, 0, 'ShipperSettings')");
    // The log folder stays, with its logs, when the package is removed (16: permanent).
    out.sql.push_back("UPDATE `Component` SET `Attributes` = " + std::string(win64 ? "272" : "16") +
                      " WHERE `Component` = 'LogFolder'");
    out.wxi << "    </DirectoryRef>\n</Include>\n";

    WriteFile(outPath, out.wxi.str());
    std::string sql;
    for (const auto& statement : out.sql)
        sql += statement + "\n";
    WriteFile(sqlPath, sql);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "wxi-registry: " << e.what() << "\n";
        return 1;
    }
}
