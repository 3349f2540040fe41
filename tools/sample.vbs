' Logs one event through the VardelEventLogger server.
'   cscript //nologo sample.vbs [message]
' The server must be registered (VardelEventLogger.exe /RegServer) and the
' host product running.
Option Explicit

Const TYPE_INFORMATION = 1
Const LEVEL_RELEASE = 3

Dim message, bias, shell, seconds, logger
message = "Hello from sample.vbs"
If WScript.Arguments.Count > 0 Then message = WScript.Arguments(0)

' LogEvent takes seconds since 1970-01-01 00:00:00 UTC, while Now is local
' time: the active bias (UTC minus local, in minutes) bridges the two.
bias = 0
On Error Resume Next
Set shell = CreateObject("WScript.Shell")
bias = shell.RegRead("HKLM\SYSTEM\CurrentControlSet\Control\TimeZoneInformation\ActiveTimeBias")
If Err.Number <> 0 Then bias = 0
On Error GoTo 0
If bias > 2147483647 Then bias = bias - 4294967296
seconds = Fix((Now - DateSerial(1970, 1, 1)) * 86400 + 0.5) + bias * 60

Set logger = CreateObject("VardelEventLogger.VardelEventLog")
logger.LogEvent TYPE_INFORMATION, LEVEL_RELEASE, "sample.vbs", seconds, message
WScript.Echo "logged: " & message
