#pragma once
// What tests that act as clients share: one BSTR owned by a test, built
// from wide or ANSI text, and LogEvent's arguments for a late-bound call.

#include "ComSupport.h"

#include <string>

namespace VardelTest {

class CBstr : public Vardel::CBstrOwner {
public:
    explicit CBstr(const wchar_t* text) : Vardel::CBstrOwner(SysAllocString(text)) {}
    CBstr(const wchar_t* text, UINT length) : Vardel::CBstrOwner(SysAllocStringLen(text, length)) {}
    explicit CBstr(const std::string& text) : Vardel::CBstrOwner(Vardel::BstrFromText(text)) {}
};

// LogEvent's five arguments as Invoke takes them, in reverse order: args[4]
// is the type, args[0] the message. The texts stay owned by the caller.
struct CLogEventArgs {
    VARIANT args[5];
    CLogEventArgs(LONG type, LONG level, BSTR source, LONG time, BSTR message)
    {
        for (auto& a : args)
            VariantInit(&a);
        args[4].vt = VT_I4, args[4].lVal = type;
        args[3].vt = VT_I4, args[3].lVal = level;
        args[2].vt = VT_BSTR, args[2].bstrVal = source;
        args[1].vt = VT_I4, args[1].lVal = time;
        args[0].vt = VT_BSTR, args[0].bstrVal = message;
    }
    DISPPARAMS Params() { return {args, nullptr, 5, 0}; }
};

} // namespace VardelTest
