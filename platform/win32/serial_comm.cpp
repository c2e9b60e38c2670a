// Serial device over the Win32 comm API. Error numbers are Win32's own.
// The handle is opened overlapped, where a plain synchronous one would do for reads and
// writes alone: the driver's writer and watch threads use the port while the caller
// reads, and Windows runs the requests of a synchronous handle one at a time, so a
// WaitCommEvent waiting for a line event would hold every read and write behind it.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/serial_device.h"

namespace {

// Waits are cut into slices so that a stop flag set by another thread is seen soon.
constexpr DWORD kSliceMs = 20;

bool stop_set(const std::atomic<bool>* stop) {
  return stop && stop->load(std::memory_order_acquire);
}

int last_error() {
  DWORD e = GetLastError();
  return e ? static_cast<int>(e) : static_cast<int>(ERROR_GEN_FAILURE);
}

// Ports without modem lines (a pseudo-terminal behind Wine, some USB adapters) refuse
// the status and break requests; the lines read as off, as on Linux. A refused DTR or
// RTS change is reported: the caller asked for a line it does not get.
bool no_lines(DWORD err) {
  return err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION ||
         err == ERROR_INVALID_PARAMETER || err == ERROR_CALL_NOT_IMPLEMENTED;
}

// One overlapped request on the handle, waited for in slices.
class Request {
 public:
  Request() {
    std::memset(&ov_, 0, sizeof ov_);
    ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~Request() {
    if (ov_.hEvent) CloseHandle(ov_.hEvent);
  }
  bool ok() const { return ov_.hEvent != nullptr; }
  OVERLAPPED* ov() { return &ov_; }

  // After a call that answered ERROR_IO_PENDING: 0 and *done, ECANCELED when the stop
  // flag ended it (the request is cancelled and *done holds what it did), or an error.
  int finish(HANDLE h, const std::atomic<bool>* stop, DWORD* done) {
    *done = 0;
    for (;;) {
      DWORD w = WaitForSingleObject(ov_.hEvent, kSliceMs);
      if (w == WAIT_OBJECT_0) break;
      if (w != WAIT_TIMEOUT) {
        int err = last_error();
        cancel(h, done);
        return err;
      }
      if (stop_set(stop)) {
        cancel(h, done);
        return ECANCELED;
      }
    }
    if (!GetOverlappedResult(h, &ov_, done, FALSE)) return last_error();
    return 0;
  }

 private:
  void cancel(HANDLE h, DWORD* done) {
    CancelIoEx(h, &ov_);
    GetOverlappedResult(h, &ov_, done, TRUE);  // the request must end before ov_ goes
  }
  OVERLAPPED ov_;
};

class CommDevice final : public SerialDevice {
 public:
  CommDevice(HANDLE h, const DCB& dcb, const COMMTIMEOUTS& timeouts)
      : h_(h), saved_dcb_(dcb), saved_timeouts_(timeouts) {}
  ~CommDevice() override { close(); }

  int close() override {
    if (h_ == INVALID_HANDLE_VALUE) return 0;
    // Putting the settings back is a courtesy to the next user; a port that has gone
    // away refuses it and is still released.
    SetCommState(h_, &saved_dcb_);
    SetCommTimeouts(h_, &saved_timeouts_);
    int err = CloseHandle(h_) ? 0 : last_error();
    h_ = INVALID_HANDLE_VALUE;
    return err;
  }

  int get_settings(SerialLineSettings* out) override {
    DCB d;
    if (!state(&d)) return last_error();
    SerialLineSettings s;
    s.baud = static_cast<int32_t>(d.BaudRate);
    s.byte_size = d.ByteSize;
    s.parity = d.Parity;  // NOPARITY..SPACEPARITY are 0..4 as in the record
    s.stop_bits = d.StopBits;  // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS: 0, 1, 2
    s.cts_flow = d.fOutxCtsFlow != 0;
    s.xon_out = d.fOutX != 0;
    s.xon_in = d.fInX != 0;
    s.xon_char = static_cast<uint8_t>(d.XonChar);
    s.xoff_char = static_cast<uint8_t>(d.XoffChar);
    s.xon_limit = d.XonLim;
    s.xoff_limit = d.XoffLim;
    *out = s;
    return 0;
  }

  int configure(const SerialLineSettings& s) override {
    if (s.baud <= 0 || s.byte_size < 5 || s.byte_size > 8 || s.parity < 0 || s.parity > 4 ||
        s.stop_bits < 0 || s.stop_bits > 2)
      return EINVAL;
    DCB d;
    if (!state(&d)) return last_error();
    d.BaudRate = static_cast<DWORD>(s.baud);
    d.ByteSize = static_cast<BYTE>(s.byte_size);
    d.Parity = static_cast<BYTE>(s.parity);
    d.StopBits = static_cast<BYTE>(s.stop_bits);
    d.fBinary = TRUE;
    d.fParity = s.parity != 0;
    d.fOutxCtsFlow = s.cts_flow;
    d.fOutxDsrFlow = FALSE;
    d.fDsrSensitivity = FALSE;
    d.fNull = FALSE;
    d.fAbortOnError = FALSE;
    d.fTXContinueOnXoff = TRUE;
    // The handshake drives RTS; otherwise RTS and DTR stay where set_rts/set_dtr put them.
    if (s.cts_flow)
      d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (d.fRtsControl == RTS_CONTROL_HANDSHAKE)
      d.fRtsControl = RTS_CONTROL_ENABLE;
    d.fOutX = s.xon_out;
    d.fInX = s.xon_in;
    d.XonChar = static_cast<char>(s.xon_char);
    d.XoffChar = static_cast<char>(s.xoff_char);
    if (s.xon_limit > 0) d.XonLim = static_cast<WORD>(s.xon_limit);
    if (s.xoff_limit > 0) d.XoffLim = static_cast<WORD>(s.xoff_limit);
    return SetCommState(h_, &d) ? 0 : last_error();
  }

  int purge() override {
    return PurgeComm(h_, PURGE_RXCLEAR | PURGE_TXCLEAR) ? 0 : last_error();
  }

  int set_queues(int in_size, int out_size) override {
    if (in_size < 0 || out_size < 0) return ERROR_INVALID_PARAMETER;
    return SetupComm(h_, static_cast<DWORD>(in_size), static_cast<DWORD>(out_size)) ? 0 : last_error();
  }

  int reset() override { return EscapeCommFunction(h_, RESETDEV) ? 0 : last_error(); }

  int read(void* buf, int capacity, int* got) override {
    *got = 0;
    if (capacity <= 0) return 0;
    // The timeouts make a read return at once with what the queue holds, but not every
    // driver keeps to them for an overlapped read (Wine's waits for a byte): only what
    // is waiting is asked for.
    COMSTAT st;
    int err = poll_errors(&st);
    if (err) return err;
    if (st.cbInQue == 0) return 0;
    if (static_cast<DWORD>(capacity) > st.cbInQue) capacity = static_cast<int>(st.cbInQue);
    Request rq;
    if (!rq.ok()) return last_error();
    DWORD n = 0;
    if (!ReadFile(h_, buf, static_cast<DWORD>(capacity), &n, rq.ov())) {
      if (GetLastError() != ERROR_IO_PENDING) return last_error();
      err = rq.finish(h_, nullptr, &n);
      if (err) return err;
    }
    *got = static_cast<int>(n);
    return 0;
  }

  int write(const void* buf, int len, const std::atomic<bool>* stop, int* written) override {
    *written = 0;
    const char* p = static_cast<const char*>(buf);
    while (*written < len) {
      if (stop_set(stop)) return ECANCELED;
      Request rq;
      if (!rq.ok()) return last_error();
      DWORD n = 0;
      int err = 0;
      if (!WriteFile(h_, p + *written, static_cast<DWORD>(len - *written), &n, rq.ov())) {
        if (GetLastError() != ERROR_IO_PENDING) return last_error();
        err = rq.finish(h_, stop, &n);
      }
      *written += static_cast<int>(n);
      if (err) return err;
    }
    return 0;
  }

  // The comm API has no wait for "input waiting" short of an overlapped event wait,
  // which the watch thread owns; the queue count is looked at every millisecond instead.
  int wait_input(int timeout_ms, bool* ready) override {
    *ready = false;
    DWORD start = GetTickCount();
    for (;;) {
      int n = 0;
      int err = in_count(&n);
      if (err) return err;
      if (n > 0) {
        *ready = true;
        return 0;
      }
      if (timeout_ms >= 0 && GetTickCount() - start >= static_cast<DWORD>(timeout_ms)) return 0;
      Sleep(1);
    }
  }

  intptr_t input_handle() override { return -1; }

  int in_count(int* n) override {
    COMSTAT st;
    *n = 0;
    int err = poll_errors(&st);
    if (!err) *n = static_cast<int>(st.cbInQue);
    return err;
  }

  int out_count(int* n) override {
    COMSTAT st;
    *n = 0;
    int err = poll_errors(&st);
    if (!err) *n = static_cast<int>(st.cbOutQue);
    return err;
  }

  int modem_status(uint32_t* bits) override {
    *bits = 0;
    DWORD m = 0;
    if (!GetCommModemStatus(h_, &m)) return no_lines(GetLastError()) ? 0 : last_error();
    // MS_CTS_ON, MS_DSR_ON, MS_RING_ON and MS_RLSD_ON are the record's bits.
    *bits = m & (SERDEV_CTS | SERDEV_DSR | SERDEV_RING | SERDEV_CARRIER);
    return 0;
  }

  int set_dtr(bool on) override { return escape(on ? SETDTR : CLRDTR); }
  int set_rts(bool on) override { return escape(on ? SETRTS : CLRRTS); }

  int set_break(bool on) override {
    if (on ? SetCommBreak(h_) : ClearCommBreak(h_)) return 0;
    return no_lines(GetLastError()) ? 0 : last_error();
  }

  int line_errors(uint32_t* bits) override {
    *bits = 0;
    COMSTAT st;
    int err = poll_errors(&st);
    if (err) return err;
    std::lock_guard<std::mutex> lock(mu_);
    *bits = pending_;
    pending_ = 0;
    return 0;
  }

  int event_mark(SerialEventMark* out) override {
    *out = SerialEventMark{};
    int err = modem_status(&out->lines);
    if (err) return err;
    COMSTAT st;
    err = poll_errors(&st);
    if (err) return err;
    std::lock_guard<std::mutex> lock(mu_);
    out->breaks = breaks_;
    out->errors = errors_;
    return 0;
  }

  int wait_event(uint32_t mask, const SerialEventMark& since, const std::atomic<bool>* stop,
                 int timeout_ms, uint32_t* events) override {
    *events = 0;
    if (mask == 0 || (mask & ~SERDEV_EV_ALL) != 0) return EINVAL;
    const DWORD start = GetTickCount();
    // The line changes count from the mark, which WaitCommEvent cannot know: the state is
    // compared after every wake-up, and WaitCommEvent only shortens the wait.
    bool use_wait = SetCommMask(h_, mask) != 0;
    for (;;) {
      uint32_t ev = 0;
      COMSTAT st;
      int err = poll_errors(&st);
      if (err) return err;
      if ((mask & SERDEV_EV_RXCHAR) && st.cbInQue > 0) ev |= SERDEV_EV_RXCHAR;
      if ((mask & SERDEV_EV_TXEMPTY) && st.cbOutQue == 0) ev |= SERDEV_EV_TXEMPTY;
      SerialEventMark now;
      err = event_mark(&now);
      if (err) return err;
      uint32_t changed = now.lines ^ since.lines;
      if (changed & SERDEV_CTS) ev |= SERDEV_EV_CTS;
      if (changed & SERDEV_DSR) ev |= SERDEV_EV_DSR;
      if (changed & SERDEV_CARRIER) ev |= SERDEV_EV_RLSD;
      if (changed & SERDEV_RING) ev |= SERDEV_EV_RING;
      if (now.breaks != since.breaks) ev |= SERDEV_EV_BREAK;
      if (now.errors != since.errors) ev |= SERDEV_EV_ERR;
      ev &= mask;
      if (ev) {
        *events = ev;
        return 0;
      }
      if (stop_set(stop)) return ECANCELED;
      // A slice at most past the limit: waits with one are short (the library's own).
      if (timeout_ms >= 0 && GetTickCount() - start >= static_cast<DWORD>(timeout_ms)) return 0;
      if (!use_wait || !wait_slice()) Sleep(kSliceMs);
    }
  }

 private:
  bool state(DCB* d) {
    std::memset(d, 0, sizeof *d);
    d->DCBlength = sizeof *d;
    return GetCommState(h_, d) != 0;
  }

  int escape(DWORD fn) { return EscapeCommFunction(h_, fn) ? 0 : last_error(); }

  // One WaitCommEvent of at most a slice; false when the port cannot wait that way.
  bool wait_slice() {
    Request rq;
    if (!rq.ok()) return false;
    DWORD got = 0;
    if (WaitCommEvent(h_, &got, rq.ov())) return true;
    if (GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(rq.ov()->hEvent, kSliceMs) != WAIT_OBJECT_0) CancelIoEx(h_, rq.ov());
    DWORD n;
    GetOverlappedResult(h_, rq.ov(), &n, TRUE);  // the request must end before rq goes
    return true;
  }

  // ClearCommError clears the device's error word on every call: what it reports is
  // kept until line_errors collects it, and counted for the event marks.
  int poll_errors(COMSTAT* st) {
    std::memset(st, 0, sizeof *st);
    DWORD e = 0;
    if (!ClearCommError(h_, &e, st)) return last_error();
    // CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME and CE_BREAK are the record's bits.
    uint32_t bits = e & (SERDEV_ERR_OVERFLOW | SERDEV_ERR_OVERRUN | SERDEV_ERR_PARITY |
                         SERDEV_ERR_FRAMING | SERDEV_ERR_BREAK);
    if (bits) {
      std::lock_guard<std::mutex> lock(mu_);
      pending_ |= bits;
      if (bits & SERDEV_ERR_BREAK) ++breaks_;
      if (bits & ~SERDEV_ERR_BREAK) ++errors_;
    }
    return 0;
  }

  HANDLE h_;
  DCB saved_dcb_;
  COMMTIMEOUTS saved_timeouts_;
  std::mutex mu_;
  uint32_t pending_ = 0;
  uint32_t breaks_ = 0;
  uint32_t errors_ = 0;
};

}  // namespace

int serial_device_open(const char* path, SerialDevice** out) {
  *out = nullptr;
  if (!path || !*path) return ERROR_FILE_NOT_FOUND;
  // No sharing: a port held by another program answers access denied.
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  COMMTIMEOUTS saved;
  if (!GetCommState(h, &dcb) || !GetCommTimeouts(h, &saved)) {
    int err = last_error();
    CloseHandle(h);
    return err;
  }
  // Reads return at once with whatever the input queue holds; writes have no limit.
  COMMTIMEOUTS t;
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = 0;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = 0;
  DWORD errors;
  if (!SetCommTimeouts(h, &t) || !ClearCommError(h, &errors, nullptr)) {
    int err = last_error();
    CloseHandle(h);
    return err;
  }
  CommDevice* dev = new (std::nothrow) CommDevice(h, dcb, saved);
  if (!dev) {
    CloseHandle(h);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  *out = dev;
  return 0;
}

void serial_error_text(int err, char* buf, size_t size) {
  if (!buf || size == 0) return;
  buf[0] = '\0';
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(err), 0x800, buf, static_cast<DWORD>(size), nullptr);
  if (n == 0) {
    std::snprintf(buf, size, "Error %d", err);
    return;
  }
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r')) buf[--n] = '\0';
}
