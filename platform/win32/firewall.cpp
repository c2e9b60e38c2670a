// Windows body of the firewall facts: the firewall's own rule list through its COM
// interface (INetFwPolicy2): the profiles' states and the enabled blocking rules that
// name one of the ports or this program.
#include "platform/firewall.h"

#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <netfw.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

const LONG kAnyProtocol = 256;  // NET_FW_IP_PROTOCOL_ANY, which the headers here lack
const CLSID kPolicy2 = {0xe2b3c97f, 0x6ae1, 0x41ac, {0x81, 0x7a, 0xf6, 0xf9, 0x21, 0x66, 0xd7, 0xdd}};

// "5510", "5500-5600", "5510,5511", "*": the first of ports the text names; 0 none.
int port_in(const wchar_t* text, const int* ports, int nports) {
  if (!text) return 0;
  for (const wchar_t* p = text; *p;) {
    wchar_t* end = nullptr;
    long lo = std::wcstol(p, &end, 10);
    if (end == p) {  // a keyword ("*", "RPC", ...) names no port of ours
      while (*p && *p != L',') ++p;
      if (*p) ++p;
      continue;
    }
    long hi = lo;
    if (*end == L'-') hi = std::wcstol(end + 1, &end, 10);
    for (int i = 0; i < nports; ++i)
      if (ports[i] >= lo && ports[i] <= hi) return ports[i];
    p = end;
    while (*p && *p != L',') ++p;
    if (*p) ++p;
  }
  return 0;
}

void narrow(BSTR w, char* out, size_t size) {
  out[0] = '\0';
  if (w && WideCharToMultiByte(CP_ACP, 0, w, -1, out, static_cast<int>(size), nullptr, nullptr) == 0) out[0] = '\0';
}

const char* base_name(const char* path) {
  const char* b = std::strrchr(path, '\\');
  return b ? b + 1 : path;
}

void read_rule(INetFwRule* rule, const int* ports, int nports, const char* program, PlatFirewall* out) {
  VARIANT_BOOL enabled = VARIANT_FALSE;
  NET_FW_ACTION action = NET_FW_ACTION_ALLOW;
  NET_FW_RULE_DIRECTION dir = NET_FW_RULE_DIR_IN;
  LONG proto = 0;
  if (FAILED(rule->get_Enabled(&enabled)) || !enabled || FAILED(rule->get_Action(&action)) ||
      action != NET_FW_ACTION_BLOCK)
    return;
  rule->get_Direction(&dir);
  rule->get_Protocol(&proto);
  BSTR ports_text = nullptr, app = nullptr, name = nullptr;
  if (dir == NET_FW_RULE_DIR_IN) rule->get_LocalPorts(&ports_text);
  else rule->get_RemotePorts(&ports_text);
  rule->get_ApplicationName(&app);
  rule->get_Name(&name);
  int port = (proto == NET_FW_IP_PROTOCOL_TCP || proto == NET_FW_IP_PROTOCOL_UDP) ? port_in(ports_text, ports, nports) : 0;
  char app_name[MAX_PATH];
  narrow(app, app_name, sizeof app_name);
  bool ours = program && program[0] && app_name[0] && _stricmp(base_name(app_name), program) == 0;
  if (port || ours) {
    if (out->count < PLAT_FW_RULES) {
      PlatFirewallRule& r = out->rules[out->count];
      narrow(name, r.name, sizeof r.name);
      std::snprintf(r.program, sizeof r.program, "%.95s", ours ? base_name(app_name) : "");
      r.inbound = dir == NET_FW_RULE_DIR_IN;
      r.tcp = proto == NET_FW_IP_PROTOCOL_TCP || proto == kAnyProtocol;
      r.udp = proto == NET_FW_IP_PROTOCOL_UDP || proto == kAnyProtocol;
      r.port = port;
      ++out->count;
    }
  }
  SysFreeString(ports_text);
  SysFreeString(app);
  SysFreeString(name);
}

int walk(INetFwPolicy2* policy, const int* ports, int nports, const char* program, PlatFirewall* out) {
  VARIANT_BOOL on = VARIANT_FALSE;
  if (SUCCEEDED(policy->get_FirewallEnabled(NET_FW_PROFILE2_DOMAIN, &on))) {
    out->profiles_known = 1;
    out->domain_on = on != VARIANT_FALSE;
  }
  if (SUCCEEDED(policy->get_FirewallEnabled(NET_FW_PROFILE2_PRIVATE, &on))) out->private_on = on != VARIANT_FALSE;
  if (SUCCEEDED(policy->get_FirewallEnabled(NET_FW_PROFILE2_PUBLIC, &on))) out->public_on = on != VARIANT_FALSE;
  INetFwRules* rules = nullptr;
  HRESULT hr = policy->get_Rules(&rules);
  if (FAILED(hr) || !rules) return static_cast<int>(hr);
  IUnknown* unknown = nullptr;
  IEnumVARIANT* items = nullptr;
  hr = rules->get__NewEnum(&unknown);
  if (SUCCEEDED(hr) && unknown) hr = unknown->QueryInterface(__uuidof(IEnumVARIANT), reinterpret_cast<void**>(&items));
  if (SUCCEEDED(hr) && items) {
    VARIANT v;
    VariantInit(&v);
    ULONG got = 0;
    while (items->Next(1, &v, &got) == S_OK && got == 1) {
      INetFwRule* rule = nullptr;
      if (v.vt == VT_DISPATCH && v.pdispVal &&
          SUCCEEDED(v.pdispVal->QueryInterface(__uuidof(INetFwRule), reinterpret_cast<void**>(&rule)))) {
        read_rule(rule, ports, nports, program, out);
        rule->Release();
      }
      VariantClear(&v);
    }
    items->Release();
  }
  if (unknown) unknown->Release();
  rules->Release();
  return SUCCEEDED(hr) ? 0 : static_cast<int>(hr);
}

}  // namespace

int plat_firewall_read(const int* ports, int nports, const char* program, PlatFirewall* out) {
  std::memset(out, 0, sizeof *out);
  // A rule made when someone pressed Cancel on the "allow this app" prompt names the
  // program, not a port: this program's own file name is looked for by default.
  char self[MAX_PATH] = "";
  if (!program) {
    if (GetModuleFileNameA(nullptr, self, sizeof self) > 0) program = base_name(self);
  }
  std::snprintf(out->program, sizeof out->program, "%.63s", program ? program : "");
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  INetFwPolicy2* policy = nullptr;
  HRESULT hr = CoCreateInstance(kPolicy2, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2),
                                reinterpret_cast<void**>(&policy));
  int rc = FAILED(hr) ? static_cast<int>(hr) : walk(policy, ports, nports, program, out);
  if (policy) policy->Release();
  if (SUCCEEDED(init)) CoUninitialize();
  if (rc != 0) {
    out->error = rc;
    out->state = PLAT_FW_REFUSED;
  }
  return out->state;
}
