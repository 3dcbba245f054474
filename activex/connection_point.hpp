// A connection point of the control: the sinks advised for one outgoing
// interface. It lives inside the control object and shares its lifetime
// (its AddRef and Release are the object's).
#pragma once

#include <windows.h>
// After windows.h, which they need:
#include <ocidl.h>

#include <functional>
#include <utility>
#include <vector>

namespace vostrel::activex {

class ConnectionPoint final : public IConnectionPoint {
public:
    /// `container` is the object this point belongs to; `iid` the interface
    /// its sinks implement. `orDispatch`: a sink that answers only IDispatch
    /// is taken too (script and dynamic event sinks of a dispinterface).
    ConnectionPoint(IConnectionPointContainer& container, const IID& iid, bool orDispatch)
        : container_(container), iid_(iid), orDispatch_(orDispatch) {}
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    const IID& Iid() const { return iid_; }

    /// Calls `call` on every sink advised now, in advising order. A sink may
    /// advise or unadvise (itself or others) meanwhile: the round goes over
    /// the sinks advised when it began, each kept alive for its call, and
    /// skips one unadvised before its turn came.
    void ForEachSink(const std::function<void(IUnknown*)>& call);
    bool HasSinks() const { return !sinks_.empty(); }
    /// Releases every sink (the object is closing).
    void UnadviseAll();

    // IUnknown, delegated to the container.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return container_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return container_.Release(); }
    // IConnectionPoint
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

private:
    IConnectionPointContainer& container_;
    IID iid_;
    bool orDispatch_;
    DWORD nextCookie_ = 1;
    std::vector<std::pair<DWORD, IUnknown*>> sinks_;  // cookie, sink (one reference each)
};

/// An enumerator over `points` (each kept referenced while it lives), for
/// IConnectionPointContainer::EnumConnectionPoints.
HRESULT EnumerateConnectionPoints(std::vector<IConnectionPoint*> points,
                                  IEnumConnectionPoints** out);

}  // namespace vostrel::activex
