// The control's run-time errors as COM reports them.
#pragma once

#include <windows.h>

#include <exception>

namespace vostrel::activex {

/// HRESULT of run-time error `number`: FACILITY_CONTROL, 0x800A0000 | number.
HRESULT ControlErrorCode(int number);

/// The HRESULT for the exception in flight (call inside a catch block):
/// a vostrel::Error is its ControlErrorCode, out of memory E_OUTOFMEMORY,
/// anything else E_UNEXPECTED. `number` receives the run-time error number
/// (0 when it has none).
HRESULT CurrentExceptionCode(int& number);

/// For a call through the function table: sets the thread's error object
/// (description = the standard text of `number`, no source, no help) and
/// returns `hr`. With number 0 it clears the error object.
HRESULT ReportThroughErrorInfo(HRESULT hr, int number);

/// For a call through IDispatch::Invoke: fills `info` (when given) with
/// scode 0x800A0000 | number and the standard text, and returns
/// DISP_E_EXCEPTION.
HRESULT ReportThroughExcepInfo(int number, EXCEPINFO* info);

/// Runs `body` and turns an exception into the function table's report.
template <class F>
HRESULT GuardVtableCall(F&& body) {
    try {
        ReportThroughErrorInfo(S_OK, 0);
        return body();
    } catch (...) {
        int number = 0;
        const HRESULT hr = CurrentExceptionCode(number);
        return ReportThroughErrorInfo(hr, number);
    }
}

}  // namespace vostrel::activex
