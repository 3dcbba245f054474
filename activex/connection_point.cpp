#include "activex/connection_point.hpp"

#include <windows.h>
// After windows.h, which it needs:
#include <olectl.h>

namespace vostrel::activex {

ConnectionPoint::~ConnectionPoint() { UnadviseAll(); }

void ConnectionPoint::ForEachSink(const std::function<void(IUnknown*)>& call) {
    std::vector<IUnknown*> round;
    round.reserve(sinks_.size());
    for (auto& [cookie, sink] : sinks_) {
        sink->AddRef();
        round.push_back(sink);
    }
    for (IUnknown* sink : round) {
        call(sink);
        sink->Release();
    }
}

void ConnectionPoint::UnadviseAll() {
    auto sinks = std::move(sinks_);
    sinks_.clear();
    for (auto& [cookie, sink] : sinks) sink->Release();
}

HRESULT ConnectionPoint::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
    if (!out) return E_POINTER;
    *out = &container_;
    container_.AddRef();
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    void* typed = nullptr;
    if (FAILED(sink->QueryInterface(iid_, &typed)) &&
        (!orDispatch_ || FAILED(sink->QueryInterface(IID_IDispatch, &typed))))
        return CONNECT_E_CANNOTCONNECT;
    try {
        sinks_.emplace_back(nextCookie_, static_cast<IUnknown*>(typed));
    } catch (...) {
        static_cast<IUnknown*>(typed)->Release();
        return E_OUTOFMEMORY;
    }
    *cookie = nextCookie_++;
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it)
        if (it->first == cookie) {
            IUnknown* sink = it->second;
            sinks_.erase(it);
            sink->Release();
            return S_OK;
        }
    return CONNECT_E_NOCONNECTION;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return E_NOTIMPL;  // allowed by the interface's contract; hosts use Advise alone
}

}  // namespace vostrel::activex
