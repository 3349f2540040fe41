#pragma once
// What a client needs before it asks COM for the logging object, checked
// first so that a failure is explained at once: the class registered with
// an existing server executable, and the host product running (without its
// event a server ends as soon as it starts, and the client would wait about
// 30 s for a misleading E_NOINTERFACE).

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

// Empty when the class can be asked for; else a sentence naming what is
// missing (the registration, or the host product's event).
std::string WhyTheServerCannotBeReached();

// Creates the shared logging object in the local server.
HRESULT CreateLogObject(Vardel::CComOwner<IVardelEventLog>& log);

} // namespace VardelTools
