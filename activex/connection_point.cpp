#include "activex/connection_point.hpp"

#include <windows.h>
// After windows.h, which it needs:
#include <olectl.h>

#include <algorithm>

#include "activex/module.hpp"

namespace vostrel::activex {

ConnectionPoint::~ConnectionPoint() { UnadviseAll(); }

void ConnectionPoint::ForEachSink(const std::function<void(IUnknown*)>& call) {
    auto round = sinks_;  // cookies are never reused
    for (auto& [cookie, sink] : round) sink->AddRef();
    for (auto& [cookie, sink] : round) {
        const DWORD c = cookie;
        const bool advised = std::any_of(sinks_.begin(), sinks_.end(),
                                         [c](const auto& entry) { return entry.first == c; });
        if (advised) call(sink);
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

namespace {

class PointEnumerator final : public IEnumConnectionPoints {
public:
    PointEnumerator(std::vector<IConnectionPoint*> points, std::size_t next)
        : points_(std::move(points)), next_(next) {
        for (IConnectionPoint* p : points_) p->AddRef();
        AddModuleRef();
    }
    ~PointEnumerator() {
        for (IConnectionPoint* p : points_) p->Release();
        ReleaseModuleRef();
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IEnumConnectionPoints)) {
            *out = static_cast<IEnumConnectionPoints*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        for (; n < count && next_ < points_.size(); ++n, ++next_) {
            out[n] = points_[next_];
            out[n]->AddRef();
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        const std::size_t left = points_.size() - next_;
        next_ += std::min<std::size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        next_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        try {
            *out = new PointEnumerator(points_, next_);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

private:
    std::vector<IConnectionPoint*> points_;
    std::size_t next_;
    ULONG refs_ = 1;
};

}  // namespace

HRESULT EnumerateConnectionPoints(std::vector<IConnectionPoint*> points,
                                  IEnumConnectionPoints** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    try {
        *out = new PointEnumerator(std::move(points), 0);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return E_NOTIMPL;  // allowed by the interface's contract; hosts use Advise alone
}

}  // namespace vostrel::activex
