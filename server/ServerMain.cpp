// VardelEventLogger.exe: the out-of-process server of VardelEventLog.
#include "ServerProcess.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return VardelServer::RunServerProcess(instance);
}
