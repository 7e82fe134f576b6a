' A late-bound client, as a script host sees Kavro.dll: created by ProgID,
' called by name through IDispatch, with script variables passed by reference.
' Runs against a simulator with no terminals: the script's process has its own.
' Exits with 100 when every check holds, otherwise with the number of the check
' that failed. A script host may end a script that raises an error with exit
' code 0, so 0 never means success.
Option Explicit

Const AllPassed = 100

Sub Check(number, holds, what)
    If Not holds Then
        WScript.Echo "check " & number & " failed: " & what
        WScript.Quit number
    End If
    WScript.Echo "ok " & number & ": " & what
End Sub

Dim m, c, msg, r, failure, description

Set m = CreateObject("Kavro.clsMachine")
Set c = CreateObject("ZebMachine.Collection")

msg = "as passed"
r = m.IMachine_funcWriteCard(True, "", 1, 1, c, msg)
Check 1, VarType(r) = vbBoolean, "funcWriteCard answers a Boolean"
Check 2, r = False, "funcWriteCard answers False"
Check 3, msg = "as passed", "funcWriteCard leaves strMsg alone"

msg = "as passed"
r = m.IMachine_DownloadCarddata(False, "10.1.2.3", 0, 1, c, msg)
Check 4, r = True, "DownloadCarddata answers True"
Check 5, c.Count = 0, "no terminal, no records added"
Check 6, msg = "", "DownloadCarddata empties strMsg"

' Names are matched without regard to case, as Basic callers write them.
r = m.imachine_DELCARDDATA(True, "", 1, 1)
Check 7, r = True, "delCardData answers True once the library returns"

' A failing DownloadCarddata reaches the script as a run-time error with a description.
msg = "as passed"
On Error Resume Next
r = m.IMachine_DownloadCarddata(False, "192.168.100.2001", 0, 1, c, msg)
failure = Err.Number
description = Err.Description
On Error GoTo 0
Check 8, failure <> 0, "an address text of 16 bytes fails the call"
Check 9, description <> "", "with a description: " & description
Check 10, msg = "as passed", "before strMsg is touched"

' The object's IDispatch is _clsMachine: IMachine's own names are not members.
On Error Resume Next
r = m.funcWriteCard(True, "", 1, 1, c, msg)
failure = Err.Number
On Error GoTo 0
Check 11, failure <> 0, "funcWriteCard is not a member of the default interface"

' Discovery by name: a search that finds nothing still succeeds and leaves
' strMsg alone; an address without a fourth part fails with one message box
' (closed by the test that runs this script) and the fixed message.
msg = "as passed"
r = m.IMachine_funcRegister(c, True, 1, 2, "", "", 1, 1, msg)
Check 12, r = True, "a serial search without terminals answers True"
Check 13, msg = "as passed", "and leaves strMsg alone"
Check 14, c.Count = 0, "nothing found, nothing added"

r = m.IMachine_funcRegister(c, False, 0, 0, "nodots", "10.0.0.2", 1, 1, msg)
Check 15, r = False, "an address without a fourth part answers False"
Check 16, msg <> "as passed" And Len(msg) = 12, "strMsg holds the fixed twelve-character message"
Check 17, c.Count = 0, "the collection is unchanged"

WScript.Quit AllPassed
