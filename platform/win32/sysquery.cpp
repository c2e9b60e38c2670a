// Device and system queries through WMI: "SELECT * from <class>" on ROOT\CIMV2. The
// query's enumerator stays open and is reset and walked, one object fetched per step, so
// a listing that breaks off keeps what came before it. COM is a single-threaded
// apartment of the calling thread, from open to close.
#include "platform/sysquery.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct PlatSysQuery {
  IWbemLocator* locator;
  IWbemServices* services;
  IEnumWbemClassObject* objects;  // not forward-only, so it can be reset
  IWbemClassObject* current;
};

namespace {

constexpr int kQueryChars = 300;

// Releases everything the query holds and leaves the apartment it entered.
void close_all(PlatSysQuery* q) {
  if (q->current) q->current->Release();
  if (q->objects) q->objects->Release();
  if (q->services) q->services->Release();
  if (q->locator) q->locator->Release();
  std::free(q);
  CoUninitialize();
}

// A wide text in the ANSI code page, cut to the buffer; empty when it does not convert.
void ansi_text(const wchar_t* w, char* out, size_t size) {
  if (!out || size == 0) return;
  out[0] = '\0';
  if (!w) return;
  int need = WideCharToMultiByte(CP_ACP, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (need <= 0) return;
  char* full = static_cast<char*>(std::malloc(static_cast<size_t>(need)));
  if (!full) return;
  if (WideCharToMultiByte(CP_ACP, 0, w, -1, full, need, nullptr, nullptr) > 0)
    std::snprintf(out, size, "%s", full);
  std::free(full);
}

// ExecQuery into q->objects. Returns SYSQ_OK or a SYSQ_ code.
int exec_query(PlatSysQuery* q, const wchar_t* query) {
  BSTR lang = SysAllocString(L"WQL");
  BSTR text = SysAllocString(query);
  HRESULT hr = E_OUTOFMEMORY;
  if (lang && text)
    hr = q->services->ExecQuery(lang, text, WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &q->objects);
  SysFreeString(lang);
  SysFreeString(text);
  if (hr == E_OUTOFMEMORY) return SYSQ_NO_MEMORY;
  // Returning at once, the query may also refuse an unknown class only at the first Next.
  if (FAILED(hr) || !q->objects) {
    q->objects = nullptr;
    return SYSQ_NO_LISTING;
  }
  return SYSQ_OK;
}

}  // namespace

int sysq_open(const char* class_name, PlatSysQuery** out) {
  if (!out) return SYSQ_NO_CLASS;
  *out = nullptr;
  if (!class_name || !*class_name) return SYSQ_NO_CLASS;
  char text[kQueryChars + 1];
  int n = std::snprintf(text, sizeof text, "SELECT * from %s", class_name);
  if (n < 0 || n > kQueryChars) return SYSQ_NO_CLASS;
  wchar_t query[kQueryChars + 1];
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, query, kQueryChars + 1) == 0) return SYSQ_NO_CLASS;

  // S_FALSE (already initialised on this thread) counts as success and is balanced too.
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return SYSQ_NO_SESSION;
  auto* q = static_cast<PlatSysQuery*>(std::calloc(1, sizeof(PlatSysQuery)));
  if (!q) {
    CoUninitialize();
    return SYSQ_NO_MEMORY;
  }
  if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              reinterpret_cast<void**>(&q->locator)))) {
    q->locator = nullptr;
    close_all(q);
    return SYSQ_NO_LOCATOR;
  }
  BSTR ns = SysAllocString(L"ROOT\\CIMV2");
  if (!ns) {
    close_all(q);
    return SYSQ_NO_MEMORY;
  }
  HRESULT hr = q->locator->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                         &q->services);
  SysFreeString(ns);
  if (FAILED(hr)) {
    q->services = nullptr;
    close_all(q);
    return SYSQ_NO_NAMESPACE;
  }
  if (FAILED(CoSetProxyBlanket(q->services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                               EOAC_NONE))) {
    close_all(q);
    return SYSQ_NO_SECURITY;
  }
  int rc = exec_query(q, query);
  if (rc != SYSQ_OK) {
    close_all(q);
    return rc;
  }
  *out = q;
  return SYSQ_OK;
}

int sysq_reset(PlatSysQuery* q) {
  if (!q || !q->objects || FAILED(q->objects->Reset())) return SYSQ_NO_RESET;
  return SYSQ_OK;
}

int sysq_next(PlatSysQuery* q) {
  if (!q || !q->objects) return SYSQ_NO_OBJECT;
  IWbemClassObject* obj = nullptr;
  ULONG got = 0;
  HRESULT hr = q->objects->Next(static_cast<long>(WBEM_INFINITE), 1, &obj, &got);
  if (FAILED(hr)) return SYSQ_NO_LISTING;
  if (got == 0 || !obj) return SYSQ_NO_OBJECT;  // WBEM_S_FALSE: the end of the list
  if (q->current) q->current->Release();
  q->current = obj;
  return SYSQ_OK;
}

int sysq_get(const PlatSysQuery* q, const char* prop, char* out, size_t size, uint32_t* number,
             int* type) {
  if (out && size) out[0] = '\0';
  if (!q || !q->current) return SYSQ_NO_OBJECT;
  if (!prop) return SYSQ_NO_PROPERTY;
  wchar_t name[256];
  if (MultiByteToWideChar(CP_ACP, 0, prop, -1, name, 256) == 0) return SYSQ_NO_PROPERTY;
  VARIANT v;
  VariantInit(&v);
  CIMTYPE cim = CIM_EMPTY;
  if (FAILED(q->current->Get(name, 0, &v, &cim, nullptr))) return SYSQ_NO_PROPERTY;
  if (cim == CIM_UINT32) {
    uint32_t value = 0;  // a null number reads 0
    if (V_VT(&v) == VT_I4) value = static_cast<uint32_t>(V_I4(&v));
    else if (V_VT(&v) == VT_UI4) value = V_UI4(&v);
    else if (V_VT(&v) != VT_NULL && SUCCEEDED(VariantChangeType(&v, &v, 0, VT_UI4)))
      value = V_UI4(&v);
    if (type) *type = SYSQ_TYPE_UINT32;
    if (number) *number = value;
  } else {
    // Texts, and 64-bit numbers (which WMI hands over as texts); any other value in its
    // text form; a null value or an array reads empty.
    if (type) *type = SYSQ_TYPE_STRING;
    if (number) *number = 0;
    if (V_VT(&v) != VT_BSTR && V_VT(&v) != VT_NULL && V_VT(&v) != VT_EMPTY &&
        FAILED(VariantChangeType(&v, &v, 0, VT_BSTR)))
      VariantClear(&v);
    if (V_VT(&v) == VT_BSTR) ansi_text(V_BSTR(&v), out, size);
  }
  VariantClear(&v);
  return SYSQ_OK;
}

void sysq_close(PlatSysQuery* q) {
  if (q) close_all(q);
}
