// The control from JScript, which passes every argument by value: the
// calls work on copies and the script's variables keep their values.
var failures = 0;
function check(ok, what) {
  WScript.Echo((ok ? "ok: " : "FAILED: ") + what);
  if (!ok) failures++;
}

var nxt = new ActiveXObject("VostrelControl.Vostrel");
check(nxt.ReadText(0) == "-1", "a new control's mailbox 0 holds -1");
var m = -4;
check(nxt.SendText(m, "hi") == 1, "SendText without a link returns 1");
check(m == -4, "a by-value argument is not written back");
check(nxt.ErrorMessage == "Error parameters for send", "its status text");
check(nxt.SendValue(2, 3.0) == 1, "a Double for a Long is converted");
check(nxt.ReadText(-3) == "-1", "ReadText of a negative literal reads its absolute value");
nxt.PingNXT = false;
check(nxt.PingNXT == false, "PingNXT set from a JScript boolean");

try {
  nxt.ReadText(-32768);
  check(false, "ReadText(-32768) raises");
} catch (e) {
  check((e.number & 0xFFFF) == 6, "ReadText(-32768) raises overflow, 6 (got " + (e.number & 0xFFFF) + ")");
}
try {
  nxt.ReadText("mailbox");
  check(false, "a text that is no number raises");
} catch (e) {
  // JScript reports the call's HRESULT itself: DISP_E_TYPEMISMATCH.
  check(e.number == -2147352571, "type mismatch, DISP_E_TYPEMISMATCH (got " + e.number + ")");
}

if (failures == 0) WScript.Echo("all passed");
WScript.Quit(failures == 0 ? 0 : 1);
