#include "activex/com_errors.hpp"

#include <new>

#include "activex/com_strings.hpp"
#include "activex/guids.hpp"
#include "vostrel/types.hpp"

namespace vostrel::activex {

HRESULT ControlErrorCode(int number) {
    return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number & 0xFFFF);
}

HRESULT CurrentExceptionCode(int& number) {
    number = 0;
    try {
        throw;
    } catch (const Error& e) {
        number = e.Number();
        return ControlErrorCode(number);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT ReportThroughErrorInfo(HRESULT hr, int number) {
    if (number == 0) {
        SetErrorInfo(0, nullptr);
        return hr;
    }
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create))) return hr;
    create->SetGUID(kIidVostrel);
    BSTR text = ToBstr(ErrorText(number));
    create->SetDescription(text);
    SysFreeString(text);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
    return hr;
}

HRESULT ReportThroughExcepInfo(int number, EXCEPINFO* info) {
    if (info) {
        *info = EXCEPINFO{};
        info->scode = ControlErrorCode(number);
        info->bstrDescription = ToBstr(ErrorText(number));
    }
    return DISP_E_EXCEPTION;
}

}  // namespace vostrel::activex
