// Connection objects: creation, the registry of live objects, the by-index table and
// the process-wide locks.
#include <atomic>
#include <cinttypes>
#include <cstring>
#include <new>

#include "commlib/core.h"

namespace qc {

// Function-local statics: each lock comes into being on its first use, from any thread.
std::recursive_mutex& lock_registry() {
  static std::recursive_mutex m;
  return m;
}
std::recursive_mutex& lock_serial_input() {
  static std::recursive_mutex m;
  return m;
}
std::recursive_mutex& lock_queue() {
  static std::recursive_mutex m;
  return m;
}
std::recursive_mutex& lock_capture() {
  static std::recursive_mutex m;
  return m;
}
std::recursive_mutex& lock_trace() {
  static std::recursive_mutex m;
  return m;
}

namespace {
constexpr int kRegistrySize = 16;
constexpr int kIndexTableSize = 8;
constexpr int kIndexReachable = 7;  // conn_at reaches entries 0..6 only

// Changed under the registry lock; read without it by conn_is_valid, which every entry
// point calls. An entry above the highest in use is always null.
std::atomic<Connection*> g_registry[kRegistrySize];
int g_highest = 0;

// Changed by the application thread only; atomic because worker threads may ask.
// There is no socket library to start on Linux; the count still decides when the log
// options are read again.
std::atomic<int> g_refcount{0};

Connection* g_index_table[kIndexTableSize];  // application thread only

// Pointers are traced as their full value in hexadecimal (no 0x), which keeps the
// look of the 32-bit "%x" lines without cutting 64-bit addresses in half.
uintptr_t ptr_bits(const void* p) { return reinterpret_cast<uintptr_t>(p); }

Connection* init_block(void* block, uint8_t user_buffer) {
  if (g_refcount.load() == 0) {
    lock_queue();  // created with the first object
  }
  g_refcount.fetch_add(1);
  lock_serial_input();
  lock_capture();

  Connection* c = static_cast<Connection*>(block);
  std::memset(block, 0, kObjectSize);
  c->queue[0].capacity = kQueueStorage;
  c->queue[1].capacity = kQueueStorage;
  for (int t = kFirstDatagramType; t <= kLastDatagramType; ++t) c->type_class[t] = kClassDatagram;
  c->type_class[kTypePoke] = kClassDatagram;

  {
    Guard g(lock_registry());
    bool placed = false;
    for (int i = 0; i <= g_highest; ++i) {
      if (!g_registry[i]) {
        g_registry[i] = c;
        placed = true;
        break;
      }
    }
    if (!placed && g_highest < kRegistrySize - 1) {
      ++g_highest;
      g_registry[g_highest] = c;
    }
    // A full registry leaves the object unregistered: every operation refuses it.
  }
  c->user_buffer = user_buffer;
  return c;
}

}  // namespace

int live_object_count() { return g_refcount.load(); }

int conn_registry_index(const Connection* c) {
  Guard g(lock_registry());
  for (int i = 0; c && i <= g_highest; ++i) {
    if (g_registry[i] == c) return i;
  }
  return -1;
}

}  // namespace qc

using namespace qc;

extern "C" {

int conn_object_size(void) { return int(kObjectSize); }

Connection* conn_alloc(void) {
  Connection* block = new (std::nothrow) Connection;
  if (!block) return nullptr;
  Connection* c = init_block(block, 0);
  trace_printf("Alloc object : %" PRIxPTR "\n", ptr_bits(c));
  return c;
}

Connection* conn_init_buffer(void* block, int size) {
  if (!block || size < int(kObjectSize)) return nullptr;
  // The worker and the application share fields of the block through atomic accesses,
  // which need those fields naturally aligned: the block must start on 4 bytes.
  if (reinterpret_cast<uintptr_t>(block) % kObjectAlign != 0) return nullptr;
  Connection* c = init_block(block, 1);
  trace_printf("User buffer : %" PRIxPTR, ptr_bits(c));
  return c;
}

void conn_free(Connection* c) {
  if (!c) return;
  trace_printf("Connection status : %d\n", status_of(c));
  // Disconnecting waits for the worker thread: other threads' calls on other objects
  // need the registry meanwhile, so it is not held here.
  conn_disconnect(c);
  wait_release(c);  // the worker is gone: nothing signals the handle any more
  int found = -1;
  {
    Guard g(lock_registry());
    for (int i = 0; i <= g_highest; ++i) {
      if (g_registry[i] == c) {
        found = i;
        break;
      }
    }
    if (found >= 0) {
      g_registry[found] = nullptr;
      if (found == g_highest && found != 0) --g_highest;
    }
  }
  // Unregistered: no other call accepts the object any more.
  if (!c->user_buffer) {
    trace_printf("Free  %" PRIxPTR "\n", ptr_bits(c));
    delete c;
  }
  if (found >= 0) trace_printf("Free object was found\n");
  if (g_refcount.load() > 0 && g_refcount.fetch_sub(1) == 1) {
    log_options_mark_unread();
  }
}

int conn_is_valid(Connection* c) {
  if (!c) return 0;
  for (const auto& entry : g_registry) {
    if (entry.load(std::memory_order_acquire) == c) return 1;
  }
  return 0;
}

void conn_set_class(Connection* c, uint8_t first, int last, uint8_t cls) {
  if (!conn_is_valid(c)) return;
  int end = last & 0xff;
  for (int t = first; t <= end; ++t) c->type_class[t] = cls;
}

intptr_t conn_slot(int index, int action) {
  if (action == 0) {
    for (int i = 0; i < kIndexTableSize; ++i) {
      if (g_index_table[i]) {
        conn_free(g_index_table[i]);
        g_index_table[i] = nullptr;
      }
    }
    return index;
  }
  if (index < 0 || index >= kIndexTableSize) return -1;
  if (action > 0) {
    if (!g_index_table[index]) g_index_table[index] = conn_alloc();
    return reinterpret_cast<intptr_t>(g_index_table[index]);
  }
  if (g_index_table[index]) {
    conn_free(g_index_table[index]);
    g_index_table[index] = nullptr;
  }
  return 0;
}

Connection* conn_at(int index) {
  if (index < 0 || index >= kIndexReachable) return nullptr;
  return g_index_table[index];
}

int conn_get_status(Connection* c) { return conn_is_valid(c) ? status_of(c) : 0; }

uint32_t conn_get_rx_dropped(Connection* c) {
  if (!conn_is_valid(c)) return 0;
  Guard g(lock_queue());  // the queue producers count drops under this lock
  return c->rx_dropped;
}

int conn_get_serial_raw(Connection* c) { return conn_is_valid(c) ? c->serial_raw : 0; }

void conn_set_serial_raw(Connection* c, int raw) {
  if (conn_is_valid(c)) c->serial_raw = uint16_t(raw);
}

}  // extern "C"

// The public header's offsets must name the same bytes as the block's layout.
static_assert(QCOMM_OBJECT_SIZE == sizeof(Connection), "object size");
static_assert(QCOMM_OBJECT_ALIGN == qc::kObjectAlign, "object alignment");
static_assert(QCOMM_OFFSET_STATUS == offsetof(Connection, status), "status offset");
static_assert(QCOMM_OFFSET_SERIAL_RAW == offsetof(Connection, serial_raw), "serial_raw offset");
static_assert(QCOMM_OFFSET_RX_DROPPED == offsetof(Connection, rx_dropped), "rx_dropped offset");
