// DllRegisterServer and DllUnregisterServer, from one table of the keys and
// values the DLL registers, per machine (HKLM\Software\Classes is HKCR):
//   - the WIC decoder's class, with its pattern, and its entry among WIC's
//     decoders, which is how every WIC program finds it;
//   - the thumbnail provider's class, named by .qzr's and the ProgID's
//     ShellEx key, for Explorer's thumbnails;
//   - the .qzr type: its ProgID, MIME type, perceived type and kind, and
//     the Photo Viewer's preview handler and "Preview" verb.
// Keys below an owned key are the DLL's alone and go whole at
// unregistration. The others are shared with other programs: a value of
// ours is written only where the key has none of that name, and removed
// only while it still holds what we wrote; a shared key that registration
// created (listed in the decoder's key, value CreatedKeys) is removed once
// it is empty, and no other.
#include <windows.h>
#include <shlobj.h>
#include <wincodec.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "module.h"

namespace qzr_wic {
namespace {

enum class Type { Key, Text, Number, Bytes };

struct Entry {
  const wchar_t* key;   // below HKLM; {D}, {T}, {C}, {V}, {F} stand for GUIDs, {M} for the DLL's path
  const wchar_t* name;  // nullptr: the default value
  Type type;
  const wchar_t* text = nullptr;
  DWORD number = 0;
  const char* bytes = nullptr;
  DWORD size = 0;
};

constexpr Entry key(const wchar_t* k) { return {k, nullptr, Type::Key}; }
constexpr Entry text(const wchar_t* k, const wchar_t* name, const wchar_t* value) { return {k, name, Type::Text, value}; }
constexpr Entry number(const wchar_t* k, const wchar_t* name, DWORD value) {
  return {k, name, Type::Number, nullptr, value};
}
constexpr Entry bytes(const wchar_t* k, const wchar_t* name, const char* value, DWORD size) {
  return {k, name, Type::Bytes, nullptr, 0, value, size};
}

#define QZR_CLASSES L"Software\\Classes\\"
#define QZR_DECODER QZR_CLASSES L"CLSID\\{D}"
#define QZR_THUMBNAIL QZR_CLASSES L"CLSID\\{T}"
#define QZR_WIC_DECODERS QZR_CLASSES L"CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\{D}"
#define QZR_PROGID QZR_CLASSES L"QZR.Image"
#define QZR_TYPE QZR_CLASSES L".qzr"
#define QZR_THUMBNAIL_HANDLER L"\\ShellEx\\{e357fccd-a995-4576-b01f-234630154e96}"

const wchar_t* const kOwned[] = {QZR_DECODER, QZR_THUMBNAIL, QZR_WIC_DECODERS, QZR_PROGID};
const wchar_t kCreatedKeys[] = L"CreatedKeys";

const Entry kEntries[] = {
    text(QZR_DECODER, L"FriendlyName", L"QZR Decoder"),
    text(QZR_DECODER, L"Author", L"The qzr developers"),
    text(QZR_DECODER, L"Description", L"QZR wavelet image decoder"),
    text(QZR_DECODER, L"Vendor", L"{V}"),
    text(QZR_DECODER, L"ContainerFormat", L"{C}"),
    text(QZR_DECODER, L"Version", QZR_WIC_VERSION),
    text(QZR_DECODER, L"MimeTypes", L"image/x-qzr"),
    text(QZR_DECODER, L"FileExtensions", L".qzr"),
    number(QZR_DECODER, L"SupportAnimation", 0),
    number(QZR_DECODER, L"SupportChromakey", 0),
    number(QZR_DECODER, L"SupportLossless", 0),
    number(QZR_DECODER, L"SupportMultiframe", 0),
    text(QZR_DECODER L"\\InprocServer32", nullptr, L"{M}"),
    text(QZR_DECODER L"\\InprocServer32", L"ThreadingModel", L"Both"),
    key(QZR_DECODER L"\\Formats\\{F}"),
    number(QZR_DECODER L"\\Patterns\\0", L"Position", 0),
    number(QZR_DECODER L"\\Patterns\\0", L"Length", 4),
    bytes(QZR_DECODER L"\\Patterns\\0", L"Pattern", "vkQZ", 4),
    bytes(QZR_DECODER L"\\Patterns\\0", L"Mask", "\xFF\xFF\xFF\xFF", 4),
    number(QZR_DECODER L"\\Patterns\\0", L"EndOfStream", 0),
    text(QZR_WIC_DECODERS, L"CLSID", L"{D}"),
    text(QZR_WIC_DECODERS, L"FriendlyName", L"QZR Decoder"),

    text(QZR_THUMBNAIL, nullptr, L"QZR Thumbnail Provider"),
    text(QZR_THUMBNAIL L"\\InprocServer32", nullptr, L"{M}"),
    text(QZR_THUMBNAIL L"\\InprocServer32", L"ThreadingModel", L"Apartment"),

    text(QZR_PROGID, nullptr, L"QZR wavelet image"),
    text(QZR_PROGID QZR_THUMBNAIL_HANDLER, nullptr, L"{T}"),
    text(QZR_TYPE, nullptr, L"QZR.Image"),
    text(QZR_TYPE, L"Content Type", L"image/x-qzr"),
    text(QZR_TYPE, L"PerceivedType", L"image"),
    text(QZR_TYPE L"\\OpenWithProgids", L"QZR.Image", L""),
    text(QZR_TYPE QZR_THUMBNAIL_HANDLER, nullptr, L"{T}"),
    // The preview pane and Photo Viewer, which show any picture WIC decodes.
    text(QZR_TYPE L"\\ShellEx\\{8895b1c6-b41f-4c1c-a562-0d564250836f}", nullptr,
         L"{C7657C4A-9F68-40fa-A4DF-96BC08EB3551}"),
    key(QZR_TYPE L"\\OpenWithList\\PhotoViewer.dll"),
    text(QZR_CLASSES L"SystemFileAssociations\\.qzr\\ShellEx\\ContextMenuHandlers\\ShellImagePreview", nullptr,
         L"{FFE2A43C-56B9-4bf5-9A79-CC6D4285608A}"),
    text(QZR_CLASSES L"MIME\\Database\\Content Type\\image/x-qzr", L"Extension", L".qzr"),
    text(L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap", L".qzr", L"picture"),
};

std::wstring guid_text(const GUID& g) {
  wchar_t s[40];
  return StringFromGUID2(g, s, 40) > 0 ? std::wstring(s) : std::wstring();
}

// The entry's key or text with its placeholders filled in.
std::wstring expand(const wchar_t* pattern, const std::wstring& module) {
  const std::pair<const wchar_t*, std::wstring> fills[] = {
      {L"{D}", guid_text(kDecoderClsid)},     {L"{T}", guid_text(kThumbnailClsid)},
      {L"{C}", guid_text(kContainerFormat)},  {L"{V}", guid_text(kVendor)},
      {L"{F}", guid_text(GUID_WICPixelFormat24bppBGR)}, {L"{M}", module}};
  std::wstring s = pattern;
  for (const auto& [from, to] : fills)
    for (size_t at = s.find(from); at != std::wstring::npos; at = s.find(from, at + to.size())) s.replace(at, 3, to);
  return s;
}

bool starts_with(const std::wstring& s, const wchar_t* prefix) { return s.rfind(prefix, 0) == 0; }

bool owned(const std::wstring& k, const std::wstring& module) {
  for (const wchar_t* o : kOwned) {
    const std::wstring root = expand(o, module);
    if (k == root || starts_with(k, (root + L"\\").c_str())) return true;
  }
  return false;
}

// An entry's value as the registry holds it: type and bytes.
struct Data {
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

Data data_of(const Entry& e, const std::wstring& module) {
  Data d;
  if (e.type == Type::Text) {
    const std::wstring s = expand(e.text, module);
    d.type = REG_SZ;
    d.bytes.assign(reinterpret_cast<const BYTE*>(s.c_str()), reinterpret_cast<const BYTE*>(s.c_str() + s.size() + 1));
  } else if (e.type == Type::Number) {
    d.type = REG_DWORD;
    d.bytes.assign(reinterpret_cast<const BYTE*>(&e.number), reinterpret_cast<const BYTE*>(&e.number + 1));
  } else if (e.type == Type::Bytes) {
    d.type = REG_BINARY;
    d.bytes.assign(e.bytes, e.bytes + e.size);
  }
  return d;
}

// The value `name` of an open key; type REG_NONE when there is none.
Data read_value(HKEY k, const wchar_t* name) {
  Data d;
  DWORD size = 0;
  if (RegQueryValueExW(k, name, nullptr, &d.type, nullptr, &size) != ERROR_SUCCESS) return Data{};
  d.bytes.resize(size);
  if (RegQueryValueExW(k, name, nullptr, &d.type, d.bytes.data(), &size) != ERROR_SUCCESS) return Data{};
  d.bytes.resize(size);
  return d;
}

std::wstring module_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) return path.substr(0, n);
    path.resize(path.size() * 2);
  }
}

// The shared keys a registration created, as its record lists them.
std::vector<std::wstring> created_keys(const std::wstring& module) {
  std::vector<std::wstring> keys;
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, expand(QZR_DECODER, module).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
    return keys;
  const Data d = read_value(h, kCreatedKeys);
  RegCloseKey(h);
  if (d.type != REG_MULTI_SZ) return keys;
  const wchar_t* s = reinterpret_cast<const wchar_t*>(d.bytes.data());
  const size_t n = d.bytes.size() / sizeof(wchar_t);
  for (size_t at = 0; at < n;) {
    const size_t end = std::wstring_view(s + at, n - at).find(L'\0');
    const std::wstring k(s + at, end == std::wstring_view::npos ? n - at : end);
    if (k.empty()) break;
    keys.push_back(k);
    at += k.size() + 1;
  }
  return keys;
}

void add_once(std::vector<std::wstring>* keys, const std::wstring& k) {
  if (std::find(keys->begin(), keys->end(), k) == keys->end()) keys->push_back(k);
}

// Creates the key and the keys above it, adding the shared ones that did
// not exist to *created. The key comes back open.
LONG create_key(const std::wstring& k, const std::wstring& module, std::vector<std::wstring>* created, HKEY* h) {
  for (size_t at = k.find(L'\\'); at != std::wstring::npos; at = k.find(L'\\', at + 1)) {
    const std::wstring above = k.substr(0, at);
    HKEY a = nullptr;
    DWORD disposition = 0;
    const LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, above.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &a, &disposition);
    if (r != ERROR_SUCCESS) return r;
    RegCloseKey(a);
    if (disposition == REG_CREATED_NEW_KEY && !owned(above, module)) add_once(created, above);
  }
  DWORD disposition = 0;
  const LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, k.c_str(), 0, nullptr, 0, KEY_READ | KEY_SET_VALUE, nullptr, h,
                                 &disposition);
  if (r == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY && !owned(k, module)) add_once(created, k);
  return r;
}

// Removes what registration wrote; also the keys in `created`, when empty.
HRESULT unregister(const std::wstring& module, std::vector<std::wstring> created) {
  for (const std::wstring& k : created_keys(module)) add_once(&created, k);
  LONG failure = ERROR_SUCCESS;
  for (const wchar_t* o : kOwned) {
    const LONG r = RegDeleteTreeW(HKEY_LOCAL_MACHINE, expand(o, module).c_str());
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) failure = r;
  }
  for (const Entry& e : kEntries) {
    const std::wstring k = expand(e.key, module);
    HKEY h = nullptr;
    if (e.type == Type::Key || owned(k, module) ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, k.c_str(), 0, KEY_READ | KEY_SET_VALUE, &h) != ERROR_SUCCESS)
      continue;
    const Data ours = data_of(e, module), now = read_value(h, e.name);
    if (now.type == ours.type && now.bytes == ours.bytes) {
      const LONG r = RegDeleteValueW(h, e.name);
      if (r != ERROR_SUCCESS) failure = r;
    }
    RegCloseKey(h);
  }
  // The deepest first, so that a key's own keys have gone before it.
  std::sort(created.begin(), created.end(), [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
  for (const std::wstring& k : created) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, k.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) continue;
    DWORD subkeys = 0, values = 0;
    const LONG r = RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                    nullptr, nullptr, nullptr);
    RegCloseKey(h);
    if (r == ERROR_SUCCESS && subkeys == 0 && values == 0) RegDeleteKeyW(HKEY_LOCAL_MACHINE, k.c_str());
  }
  return HRESULT_FROM_WIN32(failure);
}

// Writes the table; *created gets the shared keys it made, which the
// decoder's key records (with those of an earlier registration).
HRESULT register_all(const std::wstring& module, std::vector<std::wstring>* created) {
  *created = created_keys(module);
  for (const Entry& e : kEntries) {
    const std::wstring k = expand(e.key, module);
    HKEY h = nullptr;
    LONG r = create_key(k, module, created, &h);
    if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
    if (e.type != Type::Key && (owned(k, module) || read_value(h, e.name).type == REG_NONE)) {
      const Data d = data_of(e, module);
      r = RegSetValueExW(h, e.name, 0, d.type, d.bytes.data(), static_cast<DWORD>(d.bytes.size()));
    }
    RegCloseKey(h);
    if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
  }
  std::wstring list;
  for (const std::wstring& k : *created) list += k + L'\0';
  list += L'\0';
  return HRESULT_FROM_WIN32(RegSetKeyValueW(HKEY_LOCAL_MACHINE, expand(QZR_DECODER, module).c_str(), kCreatedKeys,
                                            REG_MULTI_SZ, list.c_str(), static_cast<DWORD>(list.size() * sizeof(wchar_t))));
}

}  // namespace
}  // namespace qzr_wic

extern "C" {

// Registers the decoder and the thumbnail provider at this DLL's path. On a
// failure (no administrator's rights, most likely) what was written is
// taken back.
STDAPI DllRegisterServer() {
  using namespace qzr_wic;
  const std::wstring module = module_path();
  if (module.empty()) return HRESULT_FROM_WIN32(GetLastError());
  HRESULT hr;
  try {
    std::vector<std::wstring> created;
    hr = register_all(module, &created);
    if (FAILED(hr)) unregister(module, created);
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return hr;
}

STDAPI DllUnregisterServer() {
  using namespace qzr_wic;
  HRESULT hr;
  try {
    hr = unregister(module_path(), {});
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return hr;
}

}  // extern "C"
