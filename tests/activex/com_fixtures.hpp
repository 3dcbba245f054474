// What a container hands the control, as small COM objects living on the
// test's stack: a client site answering the ambient UserMode, a property
// bag, and sinks recording events and property changes.
#pragma once

#include <windows.h>
// After windows.h, which they need:
#include <ocidl.h>
#include <olectl.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vostrel::activex::testing {

/// Reference counting for objects that live on the stack: counts, never
/// deletes, so a test can check that the control released everything.
class Counted {
public:
    ULONG refs() const { return refs_; }

protected:
    ULONG Add() { return ++refs_; }
    ULONG Drop() { return --refs_; }

private:
    ULONG refs_ = 1;
};

/// A client site; its IDispatch answers the ambient UserMode (or nothing).
/// Given a window, it is also an in-place site whose window that is.
class AmbientSite final : public IOleClientSite,
                          public IDispatch,
                          public IOleInPlaceSite,
                          public Counted {
public:
    enum class Answer { RunMode, DesignMode, Nothing };
    explicit AmbientSite(Answer answer) : answer(answer) {}
    Answer answer;
    int userModeQueries = 0;
    HWND window = nullptr;          // the form's window: in-place activation
    RECT position{10, 20, 89, 74};  // where the control sits on it
    int activations = 0, deactivations = 0;

    // IOleWindow, IOleInPlaceSite
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* w) override {
        *w = window;
        return window ? S_OK : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override {
        ++activations;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc,
                                               LPRECT pos, LPRECT clip,
                                               LPOLEINPLACEFRAMEINFO) override {
        *frame = nullptr;
        *doc = nullptr;
        *pos = *clip = position;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override {
        ++deactivations;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return S_OK; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return Drop(); }
    HRESULT STDMETHODCALLTYPE SaveObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** m) override;
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** c) override;
    HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*,
                                     VARIANT* result, EXCEPINFO*, UINT*) override;
};

/// A property bag in memory, recording each write's name and type.
class MemoryBag final : public IPropertyBag, public Counted {
public:
    ~MemoryBag();
    std::map<std::wstring, VARIANT> values;
    std::vector<std::pair<std::wstring, VARTYPE>> writes;
    HRESULT failReadOf = S_OK;  // returned when reading `failName`
    std::wstring failName;

    void Set(const std::wstring& name, const VARIANT& value);
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return Drop(); }
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override;
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR name, VARIANT* value) override;
};

/// A sink of __Vostrel: records each event; `onNewMail` runs inside the
/// event, as a host's handler does.
class EventRecorder final : public IDispatch, public Counted {
public:
    explicit EventRecorder(const IID& events) : events_(events) {}
    std::vector<std::pair<DISPID, int>> events;  // dispatch id, mailbox (NewMail)
    std::vector<VARTYPE> argumentTypes;
    std::function<void(short mailBox)> onNewMail;
    std::function<void()> onNoPing;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return Drop(); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT*, EXCEPINFO*, UINT*) override;

private:
    IID events_;
};

/// A sink of IPropertyNotifySink: the dispatch ids of the changes;
/// `onChanged` runs inside the notification.
class ChangeRecorder final : public IPropertyNotifySink, public Counted {
public:
    std::vector<DISPID> changed;
    std::function<void()> onChanged;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return Drop(); }
    HRESULT STDMETHODCALLTYPE OnChanged(DISPID id) override {
        changed.push_back(id);
        if (onChanged) onChanged();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnRequestEdit(DISPID) override { return S_OK; }
};

/// Pumps the thread's messages for `ms` milliseconds, or until `done`.
void PumpMessages(DWORD ms, const std::function<bool()>& done = {});

}  // namespace vostrel::activex::testing
