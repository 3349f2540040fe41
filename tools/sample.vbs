' Logs one event through the VardelEventLogger server.
'   cscript //nologo sample.vbs [message]
' The server must be registered (VardelEventLogger.exe /RegServer) and the
' host product running.
Option Explicit

Const TYPE_INFORMATION = 1
Const LEVEL_RELEASE = 3

' Minutes that local time is ahead of UTC: from WMI, else from the
' registry's active bias (UTC minus local), else none.
Function MinutesAheadOfUtc()
    Dim systems, system, shell, bias
    MinutesAheadOfUtc = 0
    On Error Resume Next
    Set systems = GetObject("winmgmts:\\.\root\cimv2").ExecQuery("SELECT CurrentTimeZone FROM Win32_OperatingSystem")
    If Err.Number = 0 Then
        For Each system In systems
            MinutesAheadOfUtc = CLng(system.CurrentTimeZone)
        Next
        If Err.Number = 0 Then Exit Function
    End If
    Err.Clear
    Set shell = CreateObject("WScript.Shell")
    bias = shell.RegRead("HKLM\SYSTEM\CurrentControlSet\Control\TimeZoneInformation\ActiveTimeBias")
    If Err.Number = 0 Then
        If bias > 2147483647 Then bias = bias - 4294967296
        MinutesAheadOfUtc = -bias
    End If
End Function

Dim message, seconds, logger
message = "Hello from sample.vbs"
If WScript.Arguments.Count > 0 Then message = WScript.Arguments(0)

' LogEvent takes seconds since 1970-01-01 00:00:00 UTC; Now is local time.
seconds = Fix((Now - DateSerial(1970, 1, 1)) * 86400 + 0.5) - MinutesAheadOfUtc() * 60

Set logger = CreateObject("VardelEventLogger.VardelEventLog")
logger.LogEvent TYPE_INFORMATION, LEVEL_RELEASE, "sample.vbs", seconds, message
WScript.Echo "logged: " & message
