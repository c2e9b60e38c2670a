#include "serial/sim_cable.h"

#include "serial/ser.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace {

// Waits are cut into slices so that a stop flag set by another thread is seen soon.
constexpr auto kSlice = std::chrono::milliseconds(20);
constexpr int kComs = 32;

struct EndState {
  uint8_t rx[SIM_CABLE_QUEUE];  // bytes sent by the other end, not yet read here
  int rx_head = 0;
  int rx_count = 0;
  bool open = false;
  uint32_t out_lines = 0;  // SIM_LINE_DTR | SIM_LINE_RTS driven by this end
  bool ring = false;
  bool break_on = false;   // this end is sending a break
  uint32_t errors = 0;     // line errors received here, cleared by reading
  uint32_t break_events = 0;  // counts breaks received, for event waits
  uint32_t error_events = 0;  // counts other errors received, for event waits
  SerialLineSettings settings;
};

struct CableState {
  std::mutex mu;
  std::condition_variable cv;
  EndState end[2];
  bool strict = false;
};

bool same_line_format(const SerialLineSettings& a, const SerialLineSettings& b) {
  return a.baud == b.baud && a.byte_size == b.byte_size && a.parity == b.parity &&
         a.stop_bits == b.stop_bits;
}

struct Binding {
  int cable = 0;  // 0: not bound
  int end = 0;
};

std::mutex g_registry;
std::shared_ptr<CableState> g_cables[SIM_CABLES];
Binding g_bindings[kComs + 1];

bool stop_set(const std::atomic<bool>* stop) {
  return stop && stop->load(std::memory_order_acquire);
}

std::shared_ptr<CableState> find_cable(int cable) {
  std::lock_guard<std::mutex> lock(g_registry);
  if (cable < 1 || cable > SIM_CABLES) return nullptr;
  return g_cables[cable - 1];
}

uint32_t modem_bits(const CableState& c, int end) {
  const EndState& other = c.end[1 - end];
  uint32_t bits = 0;
  if (other.out_lines & SIM_LINE_RTS) bits |= SERDEV_CTS;
  if (other.out_lines & SIM_LINE_DTR) bits |= SERDEV_DSR | SERDEV_CARRIER;
  if (c.end[end].ring) bits |= SERDEV_RING;
  return bits;
}

void add_errors(EndState& e, uint32_t bits) {
  e.errors |= bits;
  if (bits & SERDEV_ERR_BREAK) ++e.break_events;
  if (bits & ~SERDEV_ERR_BREAK) ++e.error_events;
}

class SimEndDevice final : public SerialDevice {
 public:
  SimEndDevice(std::shared_ptr<CableState> cable, int end) : c_(std::move(cable)), end_(end) {}
  ~SimEndDevice() override { close(); }

  int close() override {
    if (!c_) return 0;
    {
      std::lock_guard<std::mutex> lock(c_->mu);
      EndState& e = c_->end[end_];
      e.open = false;
      e.out_lines = 0;
      e.break_on = false;
      e.rx_count = 0;
    }
    c_->cv.notify_all();
    c_.reset();
    return 0;
  }

  int get_settings(SerialLineSettings* out) override {
    if (!c_) return EBADF;
    std::lock_guard<std::mutex> lock(c_->mu);
    *out = c_->end[end_].settings;
    return 0;
  }

  int configure(const SerialLineSettings& s) override {
    if (!c_) return EBADF;
    if (s.baud <= 0 || s.byte_size < 5 || s.byte_size > 8 || s.parity < 0 || s.parity > 4 ||
        s.stop_bits < 0 || s.stop_bits > 2)
      return EINVAL;
    std::lock_guard<std::mutex> lock(c_->mu);
    c_->end[end_].settings = s;
    return 0;
  }

  int purge() override {
    if (!c_) return EBADF;
    std::lock_guard<std::mutex> lock(c_->mu);
    c_->end[end_].rx_count = 0;
    c_->cv.notify_all();  // room for a waiting writer at the other end
    return 0;
  }

  int read(void* buf, int capacity, int* got) override {
    *got = 0;
    if (!c_) return EBADF;
    uint8_t* out = static_cast<uint8_t*>(buf);
    {
      std::lock_guard<std::mutex> lock(c_->mu);
      EndState& e = c_->end[end_];
      while (*got < capacity && e.rx_count > 0) {
        out[(*got)++] = e.rx[e.rx_head];
        e.rx_head = (e.rx_head + 1) % SIM_CABLE_QUEUE;
        --e.rx_count;
      }
    }
    if (*got > 0) c_->cv.notify_all();
    return 0;
  }

  int write(const void* buf, int len, const std::atomic<bool>* stop, int* written) override {
    *written = 0;
    if (!c_) return EBADF;
    const uint8_t* in = static_cast<const uint8_t*>(buf);
    std::unique_lock<std::mutex> lock(c_->mu);
    EndState& peer = c_->end[1 - end_];
    if (c_->strict && peer.open && !same_line_format(c_->end[end_].settings, peer.settings)) {
      add_errors(peer, SERDEV_ERR_FRAMING);
      *written = len;
      lock.unlock();
      c_->cv.notify_all();
      return 0;
    }
    while (*written < len) {
      if (!peer.open) {  // nobody listening: the bytes are lost on the line
        *written = len;
        break;
      }
      if (peer.rx_count == SIM_CABLE_QUEUE) {
        if (stop_set(stop)) return ECANCELED;
        c_->cv.wait_for(lock, kSlice);
        continue;
      }
      int tail = (peer.rx_head + peer.rx_count) % SIM_CABLE_QUEUE;
      peer.rx[tail] = in[(*written)++];
      ++peer.rx_count;
    }
    lock.unlock();
    c_->cv.notify_all();
    return 0;
  }

  int in_count(int* n) override {
    *n = 0;
    if (!c_) return EBADF;
    std::lock_guard<std::mutex> lock(c_->mu);
    *n = c_->end[end_].rx_count;
    return 0;
  }

  int out_count(int* n) override {
    *n = 0;  // bytes go straight into the other end's queue
    return c_ ? 0 : EBADF;
  }

  int modem_status(uint32_t* bits) override {
    *bits = 0;
    if (!c_) return EBADF;
    std::lock_guard<std::mutex> lock(c_->mu);
    *bits = modem_bits(*c_, end_);
    return 0;
  }

  int set_dtr(bool on) override { return set_line(SIM_LINE_DTR, on); }
  int set_rts(bool on) override { return set_line(SIM_LINE_RTS, on); }

  int set_break(bool on) override {
    if (!c_) return EBADF;
    {
      std::lock_guard<std::mutex> lock(c_->mu);
      EndState& e = c_->end[end_];
      EndState& peer = c_->end[1 - end_];
      if (on && !e.break_on && peer.open) add_errors(peer, SERDEV_ERR_BREAK);
      e.break_on = on;
    }
    c_->cv.notify_all();
    return 0;
  }

  int line_errors(uint32_t* bits) override {
    *bits = 0;
    if (!c_) return EBADF;
    std::lock_guard<std::mutex> lock(c_->mu);
    *bits = c_->end[end_].errors;
    c_->end[end_].errors = 0;
    return 0;
  }

  int event_mark(SerialEventMark* out) override {
    *out = SerialEventMark{};
    if (!c_) return EBADF;
    std::lock_guard<std::mutex> lock(c_->mu);
    out->lines = modem_bits(*c_, end_);
    out->breaks = c_->end[end_].break_events;
    out->errors = c_->end[end_].error_events;
    return 0;
  }

  int wait_event(uint32_t mask, const SerialEventMark& since, const std::atomic<bool>* stop,
                 int timeout_ms, uint32_t* events) override {
    *events = 0;
    if (!c_) return EBADF;
    if (mask == 0 || (mask & ~SERDEV_EV_ALL) != 0) return EINVAL;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(c_->mu);
    const EndState& e = c_->end[end_];
    for (;;) {
      uint32_t ev = SERDEV_EV_TXEMPTY;  // nothing is ever held on the way out
      if (e.rx_count > 0) ev |= SERDEV_EV_RXCHAR;
      uint32_t changed = modem_bits(*c_, end_) ^ since.lines;
      if (changed & SERDEV_CTS) ev |= SERDEV_EV_CTS;
      if (changed & SERDEV_DSR) ev |= SERDEV_EV_DSR;
      if (changed & SERDEV_CARRIER) ev |= SERDEV_EV_RLSD;
      if (changed & SERDEV_RING) ev |= SERDEV_EV_RING;
      if (e.break_events != since.breaks) ev |= SERDEV_EV_BREAK;
      if (e.error_events != since.errors) ev |= SERDEV_EV_ERR;
      ev &= mask;
      if (ev) {
        *events = ev;
        return 0;
      }
      if (stop_set(stop)) return ECANCELED;
      if (timeout_ms < 0) {
        c_->cv.wait_for(lock, kSlice);
      } else if (std::chrono::steady_clock::now() >= deadline) {
        return 0;
      } else {
        c_->cv.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + kSlice));
      }
    }
  }

  int wait_input(int timeout_ms, bool* ready) override {
    *ready = false;
    if (!c_) return EBADF;
    std::unique_lock<std::mutex> lock(c_->mu);
    const EndState& e = c_->end[end_];
    auto has_input = [&e] { return e.rx_count > 0; };
    if (timeout_ms < 0) {
      c_->cv.wait(lock, has_input);
    } else {
      c_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), has_input);
    }
    *ready = has_input();
    return 0;
  }

  // The simulated cable lives in this process: there is nothing a system loop could
  // wait on.
  intptr_t input_handle() override { return -1; }

 private:
  int set_line(uint32_t bit, bool on) {
    if (!c_) return EBADF;
    {
      std::lock_guard<std::mutex> lock(c_->mu);
      uint32_t& lines = c_->end[end_].out_lines;
      lines = on ? (lines | bit) : (lines & ~bit);
    }
    c_->cv.notify_all();
    return 0;
  }

  std::shared_ptr<CableState> c_;
  int end_;
};

}  // namespace

int sim_cable_create() {
  ser_set_device_source(sim_cable_open_bound);
  std::lock_guard<std::mutex> lock(g_registry);
  for (int i = 0; i < SIM_CABLES; ++i) {
    if (g_cables[i]) continue;
    CableState* state = new (std::nothrow) CableState();
    if (!state) return -1;
    try {
      g_cables[i] = std::shared_ptr<CableState>(state);
    } catch (...) {  // the control block could not be allocated; shared_ptr freed state
      return -1;
    }
    return i + 1;
  }
  return -1;
}

int sim_cable_destroy(int cable) {
  std::lock_guard<std::mutex> lock(g_registry);
  if (cable < 1 || cable > SIM_CABLES || !g_cables[cable - 1]) return -1;
  for (Binding& b : g_bindings) {
    if (b.cable == cable) b = Binding{};
  }
  g_cables[cable - 1].reset();
  return 0;
}

int sim_cable_bind(int com, int cable, int end) {
  std::lock_guard<std::mutex> lock(g_registry);
  if (com < 1 || com > kComs || cable < 1 || cable > SIM_CABLES || !g_cables[cable - 1] ||
      (end != 0 && end != 1))
    return -1;
  g_bindings[com].cable = cable;
  g_bindings[com].end = end;
  return 0;
}

int sim_cable_unbind(int com) {
  std::lock_guard<std::mutex> lock(g_registry);
  if (com < 1 || com > kComs || g_bindings[com].cable == 0) return -1;
  g_bindings[com] = Binding{};
  return 0;
}

int sim_cable_inject_errors(int cable, int end, uint32_t bits) {
  std::shared_ptr<CableState> c = find_cable(cable);
  if (!c || (end != 0 && end != 1)) return -1;
  {
    std::lock_guard<std::mutex> lock(c->mu);
    add_errors(c->end[end], bits & 0x1F);
  }
  c->cv.notify_all();
  return 0;
}

int sim_cable_set_lines(int cable, int end, uint32_t lines) {
  std::shared_ptr<CableState> c = find_cable(cable);
  if (!c || (end != 0 && end != 1)) return -1;
  {
    std::lock_guard<std::mutex> lock(c->mu);
    c->end[end].out_lines = lines & (SIM_LINE_DTR | SIM_LINE_RTS);
  }
  c->cv.notify_all();
  return 0;
}

int sim_cable_lines(int cable, int end) {
  std::shared_ptr<CableState> c = find_cable(cable);
  if (!c || (end != 0 && end != 1)) return -1;
  std::lock_guard<std::mutex> lock(c->mu);
  return static_cast<int>(c->end[end].out_lines);
}

int sim_cable_set_ring(int cable, int end, bool on) {
  std::shared_ptr<CableState> c = find_cable(cable);
  if (!c || (end != 0 && end != 1)) return -1;
  {
    std::lock_guard<std::mutex> lock(c->mu);
    c->end[end].ring = on;
  }
  c->cv.notify_all();
  return 0;
}

int sim_cable_settings(int cable, int end, SerialLineSettings* out) {
  std::shared_ptr<CableState> c = find_cable(cable);
  if (!c || !out || (end != 0 && end != 1)) return -1;
  std::lock_guard<std::mutex> lock(c->mu);
  *out = c->end[end].settings;
  return 0;
}

int sim_cable_set_strict(int cable, bool strict) {
  std::shared_ptr<CableState> c = find_cable(cable);
  if (!c) return -1;
  std::lock_guard<std::mutex> lock(c->mu);
  c->strict = strict;
  return 0;
}

int sim_cable_open_bound(int com, SerialDevice** out) {
  *out = nullptr;
  std::shared_ptr<CableState> c;
  int end = 0;
  {
    std::lock_guard<std::mutex> lock(g_registry);
    if (com < 1 || com > kComs || g_bindings[com].cable == 0) return ENOENT;
    c = g_cables[g_bindings[com].cable - 1];
    end = g_bindings[com].end;
  }
  if (!c) return ENOENT;
  {
    std::lock_guard<std::mutex> lock(c->mu);
    EndState& e = c->end[end];
    if (e.open) return EBUSY;
    e.open = true;
    e.rx_head = 0;
    e.rx_count = 0;
    e.out_lines = 0;
    e.break_on = false;
    e.errors = 0;
  }
  SimEndDevice* dev = new (std::nothrow) SimEndDevice(c, end);
  if (!dev) {
    std::lock_guard<std::mutex> lock(c->mu);
    c->end[end].open = false;
    return ENOMEM;
  }
  c->cv.notify_all();
  *out = dev;
  return 0;
}
