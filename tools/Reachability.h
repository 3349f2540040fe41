#pragma once
// What a client needs from COM for the logging object, checked to explain a
// failure: the class found with an existing server executable, and the host
// product running (without its event a server ends as soon as it starts,
// and the client would wait about 30 s for a misleading E_NOINTERFACE).

#include "ComSupport.h"
#include "VardelEventLogger.h"

#include <windows.h>
#include <string>

namespace VardelTools {

// The class's registration as one registry view shows it under
// HKEY_CLASSES_ROOT (KEY_WOW64_64KEY or KEY_WOW64_32KEY).
struct CRegistrationView {
    bool progId = false;          // ProgID\CLSID names our class
    std::string localServer;      // LocalServer32, as stored; empty when absent
    std::string serverFile;       // the executable it names
    bool serverExists = false;
    std::string typeLibFile;      // TypeLib\{LIBID}\1.0\0\win32, empty when absent
    bool typeLibExists = false;
    bool interfaceRegistered = false; // Interface\{IID} names the type library

    bool Usable() const { return progId && serverExists && typeLibExists && interfaceRegistered; }
    // What is missing, in operator words; empty when usable.
    std::string Missing() const;
};

CRegistrationView ReadRegistration(REGSAM view);

// The executable a LocalServer32 command line starts (quotes and switches removed).
std::string ServerFileOf(const std::string& commandLine);

// This process's own registry view, the one COM reads first for it.
REGSAM OwnRegistryView();

// What COM finds for clients whose registry view is `view`: the class by
// its ProgID, and a server to start for it. COM takes LocalServer32 from
// the clients' own view and, when that has none, from the other view; so a
// view with some keys missing may still serve its clients.
struct CComLookup {
    bool progId = false;       // the ProgID leads to the class
    std::string serverFile;    // the executable COM would start; empty when none exists
    bool otherView = false;    // ... found through the other view's LocalServer32
    bool Found() const { return progId && !serverFile.empty(); }
    // Why COM does not find the class, in operator words; empty when it does.
    std::string Why(const CRegistrationView& keys) const;
};

// In this process's own view the ProgID is looked up by COM itself.
CComLookup LookUpLikeCom(REGSAM view);

// Empty when COM finds the class for this process and the host product
// runs; else a sentence naming what is missing.
std::string WhyTheServerCannotBeReached();

// Creates the shared logging object in the local server.
HRESULT CreateLogObject(Vardel::CComOwner<IVardelEventLog>& log);

} // namespace VardelTools
