' Logs one event, late-bound, through the VardelEventLogger server.
'   cscript //nologo log-event.vbs PROGID TYPE LEVEL TIME SOURCE MESSAGE
' The texts are ASCII words with marks for what a command line cannot carry:
' {CR} and {LF} for the line-break characters, {Q} for a double quote and
' {E9} for the character e with acute accent (Chr, in the ANSI code page).
Option Explicit

Function Unmark(text)
    Unmark = Replace(Replace(Replace(Replace(text, "{CR}", vbCr), "{LF}", vbLf), "{Q}", Chr(34)), "{E9}", Chr(233))
End Function

Dim args, logger
Set args = WScript.Arguments
Set logger = CreateObject(args(0))
logger.LogEvent CLng(args(1)), CLng(args(2)), Unmark(args(4)), CLng(args(3)), Unmark(args(5))
