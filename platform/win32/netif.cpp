// Adapters and addresses from GetAdaptersAddresses, the host name and lookups through
// Winsock. Windows has no NetworkManager: address changes go through netsh.
#include "platform/netif.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32/winsock_ready.h"

namespace {

// The adapter table, or null with *err set. Freed with std::free.
IP_ADAPTER_ADDRESSES* adapters(int* err) {
  ULONG size = 16384;
  for (int attempt = 0; attempt < 4; ++attempt) {
    auto* list = static_cast<IP_ADAPTER_ADDRESSES*>(std::malloc(size));
    if (!list) {
      *err = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
    // Adapters without an IPv4 address too: an unplugged wired adapter is still offered.
    ULONG rc = GetAdaptersAddresses(AF_INET, GAA_FLAG_INCLUDE_PREFIX | GAA_FLAG_INCLUDE_ALL_INTERFACES,
                                    nullptr, list, &size);
    if (rc == NO_ERROR) return list;
    std::free(list);
    // ERROR_NO_DATA (no adapter at all) fails the listing too: the dialog then closes
    // rather than offering blank rows.
    if (rc != ERROR_BUFFER_OVERFLOW) {
      *err = static_cast<int>(rc);
      return nullptr;
    }
  }
  *err = ERROR_BUFFER_OVERFLOW;
  return nullptr;
}

}  // namespace

int plat_netif_list(PlatNetIf* out, int max, int* count) {
  if (!count) return ERROR_INVALID_PARAMETER;
  *count = 0;
  int err = 0;
  IP_ADAPTER_ADDRESSES* list = adapters(&err);
  if (!list) return err;
  for (IP_ADAPTER_ADDRESSES* a = list; a && *count < max; a = a->Next) {
    if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
    PlatNetIf& n = out[(*count)++];
    std::memset(&n, 0, sizeof n);
    // The name the user knows ("Ethernet", "Wi-Fi") is the friendly one.
    if (!a->FriendlyName ||
        WideCharToMultiByte(CP_ACP, 0, a->FriendlyName, -1, n.name, sizeof n.name, nullptr,
                            nullptr) == 0)
      std::snprintf(n.name, sizeof n.name, "%s", a->AdapterName ? a->AdapterName : "");
    n.index = a->IfIndex;
    n.if_type = static_cast<int>(a->IfType);
    // The friendly name decides, not the type: VirtualBox, Hyper-V and Bluetooth adapters
    // are of the ethernet type too, and only "Ethernet"/"Local Area Connection" (wired)
    // and "Wi-Fi"/"Wireless ..." (wireless) without a further hyphen or asterisk are
    // the clinic's own.
    n.wireless = -1;
    n.connected = a->OperStatus == IfOperStatusUp;
  }
  std::free(list);
  return 0;
}

int plat_netif_addrs(PlatNetAddr* out, int max, int* count) {
  if (!count) return ERROR_INVALID_PARAMETER;
  *count = 0;
  int err = 0;
  IP_ADAPTER_ADDRESSES* list = adapters(&err);
  if (!list) return err;
  for (IP_ADAPTER_ADDRESSES* a = list; a; a = a->Next) {
    for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u && *count < max; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (!sa || sa->sa_family != AF_INET) continue;
      PlatNetAddr& r = out[(*count)++];
      std::memset(&r, 0, sizeof r);
      r.if_index = a->IfIndex;
      std::memcpy(r.addr, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
      r.dynamic = u->PrefixOrigin == IpPrefixOriginDhcp;
      r.disconnected = a->OperStatus != IfOperStatusUp;
    }
  }
  std::free(list);
  return 0;
}

int plat_nm_running() { return 0; }

int plat_nm_connection(const char* /*ifname*/, char* out, size_t size) {
  if (out && size > 0) out[0] = '\0';
  return PLAT_NETIF_NONE;
}

// Elevated (or an account without User Account Control): netsh may change addresses
// without the "runas" prompt.
int plat_is_privileged() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 0;
  TOKEN_ELEVATION e;
  DWORD len = 0;
  BOOL ok = GetTokenInformation(token, TokenElevation, &e, sizeof e, &len);
  CloseHandle(token);
  return ok && e.TokenIsElevated ? 1 : 0;
}

int plat_address_tool() { return PLAT_ADDR_NETSH; }

int plat_run_elevated(const char* program, const char* params, int wait, int* exit_code) {
  if (!program || !*program) return EINVAL;
  // The shell may hand the verb to extensions that need an apartment on this thread.
  bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
  SHELLEXECUTEINFOA run;
  ZeroMemory(&run, sizeof run);
  run.cbSize = sizeof run;
  // NOASYNC: the start is complete when the call returns; NO_UI: a failure is a code,
  // not a message box.
  run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  run.lpVerb = plat_is_privileged() ? nullptr : "runas";
  run.lpFile = program;
  run.lpParameters = params;
  run.nShow = SW_HIDE;
  int rc = 0;
  if (!ShellExecuteExA(&run)) {
    rc = static_cast<int>(GetLastError());
    // Without an error number the shell's own code (its low numbers are the system's).
    if (rc == 0) rc = static_cast<int>(reinterpret_cast<INT_PTR>(run.hInstApp));
    if (rc <= 0) rc = ERROR_GEN_FAILURE;
  } else if (wait) {
    DWORD code = 0;
    if (!run.hProcess) rc = ERROR_INVALID_HANDLE;  // handed to a running program
    else if (WaitForSingleObject(run.hProcess, INFINITE) != WAIT_OBJECT_0 ||
             !GetExitCodeProcess(run.hProcess, &code))
      rc = static_cast<int>(GetLastError());
    else if (exit_code)
      *exit_code = static_cast<int>(code);
  }
  if (run.hProcess) CloseHandle(run.hProcess);
  if (com) CoUninitialize();
  return rc;
}
