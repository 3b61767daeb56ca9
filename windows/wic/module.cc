// The COM in-process server: the class factory and the DLL's entry points
// (DllGetClassObject, DllCanUnloadNow; registration.cc has the other two).
#include <windows.h>
#include <unknwn.h>

#include "module.h"

namespace qzr_wic {

HMODULE g_module = nullptr;
std::atomic<long> g_locks{0};

namespace {

class ClassFactory : public ComObject<ClassFactory, IClassFactory> {
 public:
  using Create = HRESULT (*)(REFIID, void**);
  explicit ClassFactory(Create create) : create_(create) {}

  void* find(REFIID riid) { return riid == IID_IClassFactory ? static_cast<IClassFactory*>(this) : nullptr; }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return create_(riid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      ++g_locks;
    else
      --g_locks;
    return S_OK;
  }

 private:
  Create create_;
};

}  // namespace
}  // namespace qzr_wic

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    qzr_wic::g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  using namespace qzr_wic;
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid == kDecoderClsid) return ClassFactory::create(riid, out, &create_decoder);
  if (clsid == kThumbnailClsid) return ClassFactory::create(riid, out, &create_thumbnail_provider);
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return qzr_wic::g_locks == 0 ? S_OK : S_FALSE; }

}  // extern "C"
