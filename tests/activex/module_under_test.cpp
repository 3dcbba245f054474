#include "tests/activex/module_under_test.hpp"

#include <stdexcept>

#include "activex/guids.hpp"

namespace vostrel::activex::testing {

std::wstring ModulePath() {
    // Another build's module may be named (the 32-bit one, whose type
    // library a 64-bit program can read too).
    if (const wchar_t* other = _wgetenv(L"VOSTREL_TEST_OCX"); other && *other) return other;
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"VostrelControl.ocx";
}

bool ModuleIs32Bit() {
    // The machine field of the module's PE header.
    HANDLE file = CreateFileW(ModulePath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("VostrelControl.ocx cannot be read");
    IMAGE_DOS_HEADER dos{};
    IMAGE_FILE_HEADER header{};
    DWORD got = 0, signature = 0;
    ReadFile(file, &dos, sizeof dos, &got, nullptr);
    SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN);
    ReadFile(file, &signature, sizeof signature, &got, nullptr);
    ReadFile(file, &header, sizeof header, &got, nullptr);
    CloseHandle(file);
    return header.Machine == IMAGE_FILE_MACHINE_I386;
}

HMODULE Module() {
    static HMODULE module = LoadLibraryW(ModulePath().c_str());
    if (!module) throw std::runtime_error("VostrelControl.ocx cannot be loaded");
    return module;
}

HRESULT CreateControl(REFIID iid, void** out) {
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto get = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(Module(), "DllGetClassObject")));
    if (!get) return E_NOINTERFACE;
    Ptr<IClassFactory> factory;
    HRESULT hr = get(kClsId, IID_IClassFactory, factory.put_void());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, iid, out);
}

HRESULT CanUnloadNow() {
    using CanUnload = HRESULT(STDAPICALLTYPE*)();
    auto can = reinterpret_cast<CanUnload>(
        reinterpret_cast<void*>(GetProcAddress(Module(), "DllCanUnloadNow")));
    return can ? can() : E_NOINTERFACE;
}

std::wstring LastErrorDescription() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return L"";
    BSTR text = nullptr;
    info->GetDescription(&text);
    std::wstring out = text ? text : L"";
    SysFreeString(text);
    info->Release();
    return out;
}

}  // namespace vostrel::activex::testing
