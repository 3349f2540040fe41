#pragma once
// Resource identifiers of the server executable.

#define IDR_TYPELIB 1
#define IDR_APPID_SCRIPT 100
#define IDR_CLASS_SCRIPT 101
