// What the parts of qzr_wic.dll share: the class and format identifiers,
// the count of live objects that DllCanUnloadNow reports, and the IUnknown
// every COM object of the DLL is built on.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <new>

namespace qzr_wic {

// {ED6DD63D-67FF-45F4-A101-6A84E5EAF296}: the WIC decoder.
inline constexpr GUID kDecoderClsid = {0xed6dd63d, 0x67ff, 0x45f4, {0xa1, 0x01, 0x6a, 0x84, 0xe5, 0xea, 0xf2, 0x96}};
// {4A6BE845-D446-46FF-856C-FCB187FBA676}: the Explorer thumbnail provider.
inline constexpr GUID kThumbnailClsid = {0x4a6be845, 0xd446, 0x46ff, {0x85, 0x6c, 0xfc, 0xb1, 0x87, 0xfb, 0xa6, 0x76}};
// {37724E0F-37A8-4BF5-98F6-FCC93CEB5DA5}: the QZR container format.
inline constexpr GUID kContainerFormat = {0x37724e0f, 0x37a8, 0x4bf5, {0x98, 0xf6, 0xfc, 0xc9, 0x3c, 0xeb, 0x5d, 0xa5}};
// {7308B28C-8F29-4841-988E-8221DBCED543}: the vendor, the qzr project.
inline constexpr GUID kVendor = {0x7308b28c, 0x8f29, 0x4841, {0x98, 0x8e, 0x82, 0x21, 0xdb, 0xce, 0xd5, 0x43}};

extern HMODULE g_module;
extern std::atomic<long> g_locks;  // live objects and IClassFactory::LockServer locks

// Creates a decoder or a thumbnail provider and asks it for riid.
HRESULT create_decoder(REFIID riid, void** out);
HRESULT create_thumbnail_provider(REFIID riid, void** out);

// Reference counting and the module lock for a COM object implementing
// Interfaces; Derived answers QueryInterface for anything but IUnknown with
// find(riid), which returns the interface pointer or nullptr.
template <class Derived, class First, class... Rest>
class ComObject : public First, public Rest... {
 public:
  ComObject() { ++g_locks; }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;
  virtual ~ComObject() { --g_locks; }

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    void* p = riid == IID_IUnknown ? static_cast<IUnknown*>(static_cast<First*>(this))
                                   : static_cast<Derived*>(this)->find(riid);
    *out = p;
    if (p == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  // A new object's interface riid, or the failure; the object goes when
  // the caller releases what it got.
  template <class... Args>
  static HRESULT create(REFIID riid, void** out, Args&&... args) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    Derived* d = new (std::nothrow) Derived(static_cast<Args&&>(args)...);
    if (d == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = d->QueryInterface(riid, out);
    d->Release();  // the count of one it was born with
    return hr;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

}  // namespace qzr_wic
