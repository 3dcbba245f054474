' The control from VBScript, late-bound: literals, variables whose
' write-back lands in them, and the errors a script sees.
Option Explicit
Dim nxt, failures, m, v, t, r
failures = 0
Sub Check(ok, what)
  If ok Then
    WScript.Echo "ok: " & what
  Else
    WScript.Echo "FAILED: " & what
    failures = failures + 1
  End If
End Sub

Set nxt = CreateObject("VostrelControl.Vostrel")
Check nxt.ReadText(0) = "-1", "a new control's mailbox 0 holds -1"
Check nxt.readtext(12) = "Error!", "a literal mailbox above 9 (names ignore case)"

m = -4
t = "hi"
r = nxt.SendText(m, t)
Check r = 1, "SendText without a link returns 1"
Check m = 4, "SendText wrote |MailBox| into the variable"
Check nxt.ErrorMessage = "Error parameters for send", "and left its status text"

m = 2
v = -70000
r = nxt.SendValue(m, v)
Check v = 70000 And TypeName(v) = "Long", "SendValue wrote |Value| into the variable"
v = -5
r = nxt.SendValue(2, v)
Check v = 5, "an Integer variable passed for the Long takes the write-back too"

m = -3
t = nxt.ReadText(m)
Check m = 3 And t = "-1", "ReadText wrote |MsgBox| back"

r = nxt.ConnectNXT(250, 9600)
Check r = 1 And nxt.Connection = False, "ConnectNXT to a missing port fails with Connection False"
Check nxt.ErrorMessage = "Connection error", "with its status text"

nxt.PingNXT = False
Check nxt.PingNXT = False, "PingNXT set and read"
nxt.Connection = True
Check nxt.Connection = True, "Connection may be set at run time"
nxt.ErrorMessage = "mine"
Check nxt.ErrorMessage = "mine", "ErrorMessage may be set at run time"

On Error Resume Next
t = nxt.ReadText(-32768)
Check Err.Number = 6, "ReadText(-32768) raises overflow, 6 (got " & Err.Number & ")"
Err.Clear
t = nxt.ReadText("mailbox")
Check Err.Number = 13, "a text that is no number raises type mismatch, 13 (got " & Err.Number & ")"
Err.Clear
r = nxt.SendText(1)
Check Err.Number = 450, "a missing argument raises 450 (got " & Err.Number & ")"
Err.Clear
r = nxt.SendMail(1, "x")
Check Err.Number = 438, "an unknown member raises 438 (got " & Err.Number & ")"
Err.Clear

' On a form being designed, the status setters refuse: 387.
Dim designed
Set designed = CreateObject("VostrelTest.DesignForm").Place()
designed.Connection = True
Check Err.Number = 387, "setting Connection at design time raises 387 (got " & Err.Number & ")"
Err.Clear
designed.ErrorMessage = "x"
Check Err.Number = 387, "setting ErrorMessage at design time raises 387 (got " & Err.Number & ")"
Err.Clear
Check designed.Connection = False And designed.ErrorMessage = "", "and leaves both as they were"
designed.PingNXT = False
Check Err.Number = 0 And designed.PingNXT = False, "PingNXT may be set at design time"
Err.Clear
r = designed.DisconnectNXT()
Check Err.Number = 387, "a method reporting its status at design time raises 387 (got " & Err.Number & ")"
Err.Clear
On Error GoTo 0

If failures = 0 Then
  WScript.Echo "all passed"
  WScript.Quit 0
End If
WScript.Quit 1
