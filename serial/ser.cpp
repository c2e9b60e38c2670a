#include "serial/ser.h"

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/com_path.h"
#include "platform/serial_device.h"

static_assert(SER_EV_RXCHAR == SERDEV_EV_RXCHAR && SER_EV_TXEMPTY == SERDEV_EV_TXEMPTY &&
                  SER_EV_CTS == SERDEV_EV_CTS && SER_EV_DSR == SERDEV_EV_DSR &&
                  SER_EV_RLSD == SERDEV_EV_RLSD && SER_EV_BREAK == SERDEV_EV_BREAK &&
                  SER_EV_ERR == SERDEV_EV_ERR && SER_EV_RING == SERDEV_EV_RING,
              "driver and device event masks are the same values");
static_assert(SER_LINE_CTS == SERDEV_CTS && SER_LINE_DSR == SERDEV_DSR &&
                  SER_LINE_RING == SERDEV_RING && SER_LINE_CARRIER == SERDEV_CARRIER &&
                  SER_ERR_OVERFLOW == SERDEV_ERR_OVERFLOW &&
                  SER_ERR_OVERRUN == SERDEV_ERR_OVERRUN && SER_ERR_PARITY == SERDEV_ERR_PARITY &&
                  SER_ERR_FRAMING == SERDEV_ERR_FRAMING && SER_ERR_BREAK == SERDEV_ERR_BREAK,
              "driver and device line bits are the same values");

namespace {

constexpr int32_t kSpeeds[10] = {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// A driver thread (watch or writer) with its own stop flag and state, so that a closer can
// take it out of its record and wait for it without holding the record's lock.
struct Worker {
  std::thread thread;
  std::atomic<bool> stop{false};
  std::atomic<bool> running{true};
  std::atomic<int> written{0};   // background write: bytes the write reported
  std::atomic<int> result{-100};  // background write: -100 running, 0 done, -103 failed
};

struct SerialPortRecord {
  // Guards dev and the two workers while a port opens, closes or hands over a thread: a
  // watch callback may close its own port while the application closes it too. Never
  // held while waiting for a thread, which may be inside that callback.
  std::mutex life;
  SerialDevice* dev = nullptr;  // null: closed
  uint32_t generation = 0;      // counts opens and closes, to see a change behind our back
  std::unique_ptr<Worker> watch;
  std::unique_ptr<Worker> writer;
  uint8_t line_flags = 0;  // bit 0 DTR, bit 1 RTS, as last set through ser_dtr/ser_rts
  uint8_t pushback = 0;    // 0: none
  SerialLineSettings settings;
  // Line control kept with the settings: every reconfiguration drives DTR and RTS from
  // these, as a Windows SetCommState does, so the lines behave the same on both systems.
  bool dtr_control = false;
  bool rts_control = false;
  uint8_t data_mask = 0xFF;

  ~SerialPortRecord();
};

SerialPortRecord g_ports[SER_PORTS];

std::atomic<int> g_last_error{0};
std::atomic<int32_t> g_default_baud{19200};
std::atomic<int> g_default_byte_size{8};
std::atomic<int> g_default_parity{0};
std::atomic<int> g_default_stop_bits{0};
std::atomic<bool> g_dtr_at_open{false};
std::atomic<bool> g_rts_at_open{false};
std::atomic<bool> g_reset_at_open{false};
std::atomic<bool> g_background_writes{false};
std::atomic<ser_device_source_fn> g_device_source{nullptr};

bool bad_port(int port) { return static_cast<unsigned>(port) >= SER_PORTS; }

// 1 << byte_size minus 1, computed in 8 bits: 8 data bits give 0xFF.
uint8_t mask_for(int byte_size) {
  return static_cast<uint8_t>((1u << (static_cast<unsigned>(byte_size) & 31u)) - 1u);
}

int32_t rate_for(int rate) { return (rate >= 0 && rate <= 9) ? kSpeeds[rate] : rate; }

struct WatchParams {
  ser_notify_fn notify;
  void* cookie;
  uint16_t message;
  uint32_t mask;
};

// What notify did to its own watch. Kept on the watch thread's stack, so the thread never
// has to look at a record, or a worker, that notify closed.
struct WatchContext {
  Worker* worker;
  SerialDevice* dev;
  WatchParams params;
  SerialEventMark mark;
  bool rearm;
  bool released;  // the worker is gone: the thread must touch nothing of it or the record
};

thread_local WatchContext* t_watch = nullptr;

bool on_own_thread(const Worker& w) { return w.thread.get_id() == std::this_thread::get_id(); }

// Ends a worker taken out of its record. Its own thread (notify closing or reopening its
// port) cannot wait for itself: it lets go of the thread and ends once notify returns.
void finish_worker(std::unique_ptr<Worker> w) {
  if (!w || !w->thread.joinable()) return;
  if (on_own_thread(*w)) {
    if (t_watch && t_watch->worker == w.get()) t_watch->released = true;
    w->thread.detach();
    return;
  }
  w->stop.store(true, std::memory_order_release);
  w->thread.join();
}

// What closing takes out of a record: the record is closed once this is filled, and the
// caller ends the threads and the device after letting go of the lock.
struct Taken {
  SerialDevice* dev = nullptr;
  std::unique_ptr<Worker> watch;
  std::unique_ptr<Worker> writer;
};

Taken take_locked(SerialPortRecord& r) {
  Taken t;
  t.dev = r.dev;
  t.watch = std::move(r.watch);
  t.writer = std::move(r.writer);
  if (r.dev) ++r.generation;
  r.dev = nullptr;
  return t;
}

// Threads first: both may still be using the device.
int finish(Taken t) {
  finish_worker(std::move(t.watch));
  finish_worker(std::move(t.writer));
  if (!t.dev) return 0;
  int err = t.dev->close();
  delete t.dev;
  return err;
}

SerialPortRecord::~SerialPortRecord() { finish(take_locked(*this)); }

// After the port check: the record of an open port, else null (SER_CLOSED).
SerialPortRecord* open_record(int port) {
  SerialPortRecord& r = g_ports[port];
  return r.dev ? &r : nullptr;
}

// The port check of every per-port operation: SER_OK with *r the open port's record,
// else SER_BAD_PORT or SER_CLOSED.
int32_t check_port(int port, SerialPortRecord** r) {
  if (bad_port(port)) return SER_BAD_PORT;
  *r = open_record(port);
  return *r ? SER_OK : SER_CLOSED;
}

// Writes the settings to the device and drives DTR/RTS from the line control. Settings the
// device refused are not kept: one bad speed would otherwise fail every later change.
int apply_settings(SerialPortRecord& r, const SerialLineSettings& s) {
  int err = r.dev->configure(s);
  if (err) return err;
  r.settings = s;
  // The lines follow as the settings' DTR and RTS control; a port without modem lines
  // that refuses them still carries bytes (ser_dtr and ser_rts report the refusal).
  r.dev->set_dtr(r.dtr_control);
  r.dev->set_rts(r.rts_control || r.settings.cts_flow);
  return 0;
}

void raise_flagged_lines(SerialPortRecord& r) {
  if (r.line_flags & 1) r.dev->set_dtr(true);
  if (r.line_flags & 2) r.dev->set_rts(true);
}

void writer_body(Worker* w, SerialDevice* dev, const void* buf, int len) {
  int written = 0;
  int err = dev->write(buf, len, &w->stop, &written);
  w->written.store(written);
  if (err) g_last_error.store(err);
  w->result.store(err ? -103 : 0);
  w->running.store(false, std::memory_order_release);
}

int32_t wait_events(SerialDevice* dev, uint32_t mask, const SerialEventMark& since,
                    const std::atomic<bool>* stop, bool* cancelled) {
  *cancelled = false;
  uint32_t events = 0;
  int err = dev->wait_event(mask, since, stop, -1, &events);
  if (err == ECANCELED) *cancelled = true;
  return err ? 0 : static_cast<int32_t>(events);
}

bool valid_mask(uint32_t mask) { return mask != 0 && (mask & ~SERDEV_EV_ALL) == 0; }

void watch_body(Worker* w, SerialDevice* dev, WatchParams params, SerialEventMark mark) {
  WatchContext ctx{w, dev, params, mark, false, false};
  t_watch = &ctx;
  for (;;) {
    bool cancelled = false;
    if (valid_mask(ctx.params.mask)) {
      wait_events(dev, ctx.params.mask, ctx.mark, &w->stop, &cancelled);
    } else {
      g_last_error.store(EINVAL);
    }
    // A stopped watch ends without notifying.
    if (cancelled || w->stop.load(std::memory_order_acquire)) break;
    ctx.rearm = false;
    ctx.params.notify(ctx.params.cookie, ctx.params.message);
    if (ctx.released || !ctx.rearm) break;
  }
  t_watch = nullptr;
}

}  // namespace

int32_t ser_open(int port, int in_size, int out_size) {
  if (port == -1) {
    g_dtr_at_open.store((in_size & 1) != 0);
    g_rts_at_open.store((out_size & 1) != 0);
    return 0;
  }
  if (bad_port(port)) return SER_BAD_PORT;
  SerialPortRecord& r = g_ports[port];
  SerialDevice* dev = nullptr;
  const ser_device_source_fn source = g_device_source.load();
  int err = source ? source(port + 1, &dev) : ENOENT;
  if (err == ENOENT) {
    char path[1024];
    int rc = plat_com_device_path(port + 1, path, sizeof path);
    err = rc == 0 ? serial_device_open(path, &dev) : (rc == 1 ? ENOENT : ENAMETOOLONG);
  }
  // A port already open in this table: the new open fails against our own lock and the
  // record counts as closed afterwards. Its device is released rather than left behind.
  std::unique_lock<std::mutex> lock(r.life);
  Taken old = take_locked(r);
  lock.unlock();
  finish(std::move(old));
  lock.lock();
  if (!err && r.dev) {  // another thread opened the port meanwhile
    dev->close();
    delete dev;
    err = EBUSY;
  }
  if (err) {
    g_last_error.store(err);
    return SER_OPEN_FAILED;
  }
  r.dev = dev;
  ++r.generation;
  r.pushback = 0;
  SerialLineSettings s;
  err = dev->get_settings(&s);
  if (err) {
    g_last_error.store(err);
    return SER_GET_LINE_FAILED;
  }
  s.baud = g_default_baud.load();
  s.byte_size = g_default_byte_size.load();
  s.parity = g_default_parity.load();
  s.stop_bits = g_default_stop_bits.load();
  s.cts_flow = false;
  s.xon_out = false;
  s.xon_in = false;
  s.xon_char = 0x11;
  s.xoff_char = 0x13;
  s.xon_limit = s.xoff_limit = in_size > 512 ? 128 : in_size / 4;
  r.settings = s;
  r.dtr_control = g_dtr_at_open.load();
  r.rts_control = g_rts_at_open.load();
  r.data_mask = mask_for(s.byte_size);
  err = apply_settings(r, s);
  if (err) {
    g_last_error.store(err);
    return SER_SET_LINE_FAILED;
  }
  if (dev->set_queues(in_size, out_size) != 0) return SER_QUEUE_FAILED;
  if (g_reset_at_open.load()) {
    err = dev->reset();
    if (err) {
      g_last_error.store(err);
      return SER_RESET_FAILED;
    }
  }
  uint32_t stale = 0;
  dev->line_errors(&stale);  // errors from before the open are not this session's
  return 0;
}

void ser_set_device_source(ser_device_source_fn source) { g_device_source.store(source); }

int32_t ser_close(int port) {
  if (bad_port(port)) return SER_BAD_PORT;
  SerialPortRecord& r = g_ports[port];
  Taken taken;
  {
    std::lock_guard<std::mutex> lock(r.life);
    if (!r.dev) return SER_CLOSED;  // also when a watch callback closed it first
    taken = take_locked(r);
  }
  int err = finish(std::move(taken));
  if (err) {
    g_last_error.store(err);
    return 0;
  }
  return 1;
}

int32_t ser_set_baud(int port, int rate) {
  if (port == -1) {
    g_default_baud.store(rate_for(rate));
    return 0;
  }
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  SerialLineSettings s = r->settings;
  s.baud = rate_for(rate);
  return apply_settings(*r, s) == 0 ? 1 : 0;
}

int32_t ser_put_byte(int port, uint8_t byte) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  int written = 0;
  int err = r->dev->write(&byte, 1, nullptr, &written);
  if (err) {
    g_last_error.store(err);
    return SER_IO_FAILED;
  }
  return 0;
}

int32_t ser_write(int port, const void* buf, int len) {
  if (bad_port(port)) return SER_BAD_PORT;
  SerialPortRecord& r = g_ports[port];
  std::unique_lock<std::mutex> lock(r.life);
  SerialDevice* dev = r.dev;
  if (!dev) return SER_CLOSED;
  if (!buf || len <= 0) return SER_BAD_ARGUMENT;
  if (r.writer && r.writer->running.load(std::memory_order_acquire)) return SER_BUSY;
  if (!g_background_writes.load()) {
    lock.unlock();
    int written = 0;
    int err = dev->write(buf, len, nullptr, &written);
    if (err) {
      g_last_error.store(err);
      return SER_IO_FAILED;
    }
    return written;
  }
  finish_worker(std::move(r.writer));  // it has ended; a writer never takes the lock
  std::unique_ptr<Worker> w(new (std::nothrow) Worker);
  if (!w) return SER_NO_THREAD;
  try {
    w->thread = std::thread(writer_body, w.get(), dev, buf, len);
  } catch (...) {  // no thread, or no memory for its start
    return SER_NO_THREAD;
  }
  r.writer = std::move(w);
  lock.unlock();
  std::this_thread::yield();
  return 0;
}

int32_t ser_get_byte(int port) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  if (r->pushback) {
    uint8_t b = r->pushback;
    r->pushback = 0;
    return b;
  }
  uint8_t b = 0;
  int got = 0;
  int err = r->dev->read(&b, 1, &got);
  if (err) {
    g_last_error.store(err);
    return SER_IO_FAILED;
  }
  if (got == 0) return SER_BUSY;
  return b & r->data_mask;
}

int32_t ser_read(int port, void* buf, int capacity) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  // No room reads nothing, and a pushed-back byte waits for a read that can take it.
  if (capacity == 0) return 0;
  if (!buf || capacity < 0) {  // what a read into no memory gets from the system
    g_last_error.store(buf ? EINVAL : EFAULT);
    return SER_IO_FAILED;
  }
  uint8_t* out = static_cast<uint8_t*>(buf);
  if (r->pushback) {
    out[0] = r->pushback;
    r->pushback = 0;
    return 1;
  }
  int got = 0;
  int err = r->dev->read(out, capacity, &got);
  if (err) {
    g_last_error.store(err);
    return SER_IO_FAILED;
  }
  if (got > 0 && r->data_mask < 0xFF) {
    for (int i = 0; i < got; ++i) out[i] &= r->data_mask;
  }
  return got;
}

int32_t ser_dtr(int port, char letter) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  switch (letter) {
    case SER_LINE_SET:
      r->line_flags |= 1;
      r->dtr_control = true;
      return r->dev->set_dtr(true) == 0 ? 1 : 0;
    case SER_LINE_CLEAR:
      r->line_flags &= static_cast<uint8_t>(~1u);
      r->dtr_control = false;
      return r->dev->set_dtr(false) == 0 ? 1 : 0;
    case SER_LINE_READ:
      return r->line_flags & 1;
    default:
      return SER_BAD_ARGUMENT;
  }
}

int32_t ser_rts(int port, char letter) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  switch (letter) {
    case SER_LINE_SET:
      r->line_flags |= 2;
      r->rts_control = true;
      return r->dev->set_rts(true) == 0 ? 1 : 0;
    case SER_LINE_CLEAR:
      r->line_flags &= static_cast<uint8_t>(~2u);
      r->rts_control = false;
      return r->dev->set_rts(false) == 0 ? 1 : 0;
    case SER_LINE_READ:
      return r->line_flags & 2;
    default:
      return SER_BAD_ARGUMENT;
  }
}

// Which queues a purge empties was never settled; both, and the pushback, is what a
// caller asking for a clean start expects.
int32_t ser_purge(int port) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  r->pushback = 0;
  if (int err = r->dev->purge()) g_last_error.store(err);
  return 0;
}

int32_t ser_drain(int port) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  while (ser_get_byte(port) >= 0) {
  }
  return 0;
}

// The queue counts do not read the line errors: on Windows one status call did both,
// here a count must not swallow a break the serial reader is waiting to see.
int32_t ser_out_count(int port) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  int n = 0;
  return r->dev->out_count(&n) == 0 ? n : 0;
}

int32_t ser_in_count(int port) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  int n = 0;
  return r->dev->in_count(&n) == 0 ? n : 0;
}

int32_t ser_errors(int port, int mask) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  uint32_t bits = 0;
  if (r->dev->line_errors(&bits) != 0) return 0;
  return static_cast<int32_t>(bits & static_cast<uint32_t>(mask));
}

int32_t ser_flow(int port, char letter) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  SerialLineSettings s = r->settings;
  bool rts_control = r->rts_control;
  switch (letter) {
    case SER_FLOW_HARDWARE:
      s.cts_flow = true;
      s.xon_out = s.xon_in = false;
      break;
    case SER_FLOW_NONE:
      s.cts_flow = false;
      rts_control = false;
      s.xon_out = s.xon_in = false;
      break;
    case SER_FLOW_XONXOFF:
      s.cts_flow = false;
      rts_control = false;
      s.xon_out = s.xon_in = true;
      break;
    default:
      break;
  }
  bool saved_control = r->rts_control;
  r->rts_control = rts_control;
  if (apply_settings(*r, s) == 0)
    raise_flagged_lines(*r);
  else
    r->rts_control = saved_control;
  return 0;
}

int32_t ser_format(int port, int parity, int stop_bits, int byte_size) {
  if (port == -1) {
    g_default_parity.store(parity);
    g_default_stop_bits.store(stop_bits);
    g_default_byte_size.store(byte_size);
    return 0;
  }
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  SerialLineSettings s = r->settings;
  s.parity = parity;
  s.stop_bits = stop_bits;
  s.byte_size = byte_size;
  if (apply_settings(*r, s) == 0) {
    r->data_mask = mask_for(byte_size);
    raise_flagged_lines(*r);
  }
  return 0;
}

static int32_t modem_bit(int port, uint32_t bit) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  uint32_t bits = 0;
  r->dev->modem_status(&bits);
  return static_cast<int32_t>(bits & bit);
}

int32_t ser_cts(int port) { return modem_bit(port, SERDEV_CTS); }
int32_t ser_dsr(int port) { return modem_bit(port, SERDEV_DSR); }
int32_t ser_ring(int port) { return modem_bit(port, SERDEV_RING); }
int32_t ser_carrier(int port) { return modem_bit(port, SERDEV_CARRIER); }

int32_t ser_option(char letter) {
  switch (letter) {
    case SER_OPTION_RESET_AT_OPEN:
      g_reset_at_open.store(true);
      return SER_OPTION_RESET_ANSWER;
    case SER_OPTION_BACKGROUND_WRITES:
      g_background_writes.store(!g_background_writes.load());
      return SER_OPTION_WRITES_ANSWER;
    default:
      return SER_BAD_PORT;
  }
}

int32_t ser_query(char letter) {
  switch (letter) {
    case SER_QUERY_3:
    case SER_QUERY_I:
      return 1;
    case SER_QUERY_VERSION:
      return SER_VERSION;
    default:
      return SER_BAD_PORT;
  }
}

int32_t ser_break(int port, char letter) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  switch (letter) {
    case SER_BREAK_ON:
      return r->dev->set_break(true) == 0 ? 1 : 0;
    case SER_BREAK_OFF:
      return r->dev->set_break(false) == 0 ? 1 : 0;
    case SER_BREAK_SEEN: {
      uint32_t bits = 0;
      if (r->dev->line_errors(&bits) != 0) return 0;
      return static_cast<int32_t>(bits & SERDEV_ERR_BREAK);
    }
    default:
      return SER_BAD_ARGUMENT;
  }
}

int32_t ser_unget(int port, uint8_t byte) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  r->pushback = byte;
  return 0;
}

int32_t ser_error_text(char* buf, int size) {
  int err = g_last_error.load();
  if (buf && size > 0) serial_error_text(err, buf, static_cast<size_t>(size));
  return err;
}

// Legacy UART registers are not reachable from an ordinary process (and the kernel's
// driver owns the chip), so an open port answers -1.
int32_t ser_port_in(int port, int offset) {
  (void)offset;
  if (bad_port(port) || port > 3) return SER_BAD_PORT;
  if (!open_record(port)) return SER_CLOSED;
  return -1;
}

int32_t ser_wait_input(int port, int timeout_ms) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  if (r->pushback) return 1;
  bool ready = false;
  if (int err = r->dev->wait_input(timeout_ms, &ready)) {
    g_last_error.store(err);
    return SER_IO_FAILED;
  }
  return ready ? 1 : 0;
}

intptr_t ser_input_handle(int port) {
  SerialPortRecord* r;
  return check_port(port, &r) == SER_OK ? r->dev->input_handle() : -1;
}

int32_t ser_wait_event(int port, uint32_t mask) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  if (!valid_mask(mask)) {
    g_last_error.store(EINVAL);
    return SER_IO_FAILED;
  }
  SerialEventMark mark;
  if (int err = r->dev->event_mark(&mark)) {
    g_last_error.store(err);
    return 0;
  }
  bool cancelled;
  return wait_events(r->dev, mask, mark, nullptr, &cancelled);
}

int32_t ser_wait_event_for(int port, uint32_t mask, int timeout_ms) {
  SerialPortRecord* r;
  if (int32_t e = check_port(port, &r)) return e;
  uint32_t events = 0;
  SerialEventMark mark;
  int err = valid_mask(mask) ? r->dev->event_mark(&mark) : EINVAL;
  if (!err) err = r->dev->wait_event(mask, mark, nullptr, timeout_ms, &events);
  if (err) {
    g_last_error.store(err);
    return SER_IO_FAILED;
  }
  return static_cast<int32_t>(events);
}

int32_t ser_watch(int port, ser_notify_fn notify, void* cookie, uint16_t message, uint32_t mask) {
  if (bad_port(port)) return SER_BAD_PORT;
  SerialPortRecord& r = g_ports[port];
  std::unique_lock<std::mutex> lock(r.life);
  SerialDevice* dev = r.dev;
  if (!dev) return SER_CLOSED;
  // Changes from this call on count, also those before the thread gets going.
  SerialEventMark mark;
  dev->event_mark(&mark);
  const WatchParams params{notify, cookie, message, mask};
  if (r.watch && t_watch && t_watch->worker == r.watch.get()) {
    // Called from notify: the same thread watches again once notify returns.
    t_watch->params = params;
    t_watch->rearm = notify != nullptr;
    t_watch->mark = mark;
    return notify ? 0 : 1;
  }
  const uint32_t generation = r.generation;
  while (r.watch) {  // the running watch may be in notify, which may want the lock
    std::unique_ptr<Worker> old = std::move(r.watch);
    lock.unlock();
    finish_worker(std::move(old));
    lock.lock();
    if (r.generation != generation) return SER_CLOSED;  // notify closed or reopened the port
  }
  if (!notify) return 1;
  std::unique_ptr<Worker> w(new (std::nothrow) Worker);
  if (!w) return SER_NO_THREAD;
  try {
    w->thread = std::thread(watch_body, w.get(), dev, params, mark);
  } catch (...) {  // no thread, or no memory for its start
    return SER_NO_THREAD;
  }
  r.watch = std::move(w);
  return 0;
}
