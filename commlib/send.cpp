// The send path: conn_send checks a message and hands it to the link's transport.
// Ethernet: eth_send (stream or datagram by the type's class) and eth_reconnect.
// Serial: serial_send, the message as the serial framing in use puts it on the line.
#include <cstdio>
#include <cstring>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/serial.h"
#include "commlib/transport.h"
#include "platform/sockets.h"

using namespace qc;

namespace {

constexpr int kStreamSendWaitMs = 5000;

// A system error number as a send result: offset so that it never meets the library's
// own codes (EPIPE is 32, which would read as "too long").
int system_error(int err) { return err == 0 ? 0 : QCOMM_SYSTEM_ERROR_BASE + err; }

// The message's sequence number and bytes 4-7 as far as they lie inside len.
void header_values(const uint8_t* msg, int len, uint32_t* seq, uint32_t* word1) {
  int field = le16(msg + 2);
  *seq = field >= 8 && field <= len ? le32(msg + field - 4) : 0;
  *word1 = len >= 8 ? le32(msg + 4) : 0;
}

// The FULL record copies length-field bytes: only record messages that hold them.
void full_record(Connection* c, int tag, const uint8_t* msg, int len) {
  if (le16(msg + 2) <= len) capture_full(c, kTx, tag, msg);
}

// Writes a whole stream message. The client's socket is non-blocking; a message must
// never go out in part (the peer would lose the stream's framing), so a full send
// buffer is waited out, for at most a few seconds. Returns 0 or an error number.
int stream_write(int s, const uint8_t* msg, int len) {
  int done = 0;
  uint32_t start = clock_ms();
  while (done < len) {
    int r = sock_send(s, msg + done, len - done);
    if (r > 0) {
      done += r;
      continue;
    }
    if (r == 0) return sock_err_not_connected_code();
    if (!sock_err_would_block(-r)) return -r;
    if (clock_ms() - start > uint32_t(kStreamSendWaitMs)) return -r;
    SockWaitSet set;
    std::memset(&set, 0, sizeof set);
    set.fd[0] = s;
    set.want_write[0] = true;
    int woken = 0;
    sock_wait(&set, 0, 50, &woken);
  }
  return 0;
}

}  // namespace

extern "C" int msg_length(Connection* c, const uint8_t* msg) {
  (void)c;
  return msg ? le16(msg + 2) : 0;
}

extern "C" int conn_send(Connection* c, const uint8_t* msg, int len) {
  if (!conn_is_valid(c) || !msg) return 0;
  if (len == 0) len = le16(msg + 2);
  if (len > kMaxMessage || len < 0) return QCOMM_SEND_TOO_LONG;  // negative: as unusable
  if (c->transport == kTransportEthernet) {
    if (msg[0] < QCOMM_MIN_ETHERNET_TYPE) return QCOMM_SEND_LOW_TYPE;
    if (le16(msg + 2) == 0) return QCOMM_SEND_NO_LENGTH;
    return eth_send(c, msg, len);
  }
  return serial_send(c, msg, len);
}

extern "C" int eth_send(Connection* c, const uint8_t* msg, int len) {
  if (!conn_is_valid(c)) return 1;
  const int cls = c->type_class[msg[0]];
  if (ETH_LOAD(c, status) == kStatusDown) {
    trace_printf("%c sending message to unconnected port\n", role_letter(c));
    capture_event(c, kTx, kEvSendUnconnected, uint32_t(cls), c->is_server,
                  uint32_t(int32_t(ETH_LOAD(c, listen_state))));
    if (c->is_server && ETH_LOAD(c, listen_state) >= kListening) eth_reconnect(c, 0);
  }
  uint32_t seq = 0, word1 = 0;
  header_values(msg, len, &seq, &word1);

  if (cls == kClassStream && ETH_LOAD(c, status) != kStatusDown) {
    int s = int(c->is_server ? ETH_LOAD(c, accepted_socket) : ETH_LOAD(c, tcp_socket));
    if (s <= 2) return system_error(sock_err_not_connected_code());
    int r = system_error(stream_write(s, msg, len));
    capture_event(c, kTx, kEvSentStream, le32(msg), seq, word1);
    full_record(c, c->is_server ? 12 : 11, msg, len);
    return r;
  }

  // Datagram: a datagram class, or no stream to send on. A server whose start has not
  // reached listening (listen_state negative) is not restarted here; its message goes
  // out as a datagram like any unconnected one and the result is that send's result.
  NetAddr4 to;
  eth_peer_get(c, &to);
  char text[32];
  sock_addr_text(&to, text, sizeof text);
  trace_printf("%c sending to  %d %s\n", role_letter(c), sock_addr_port(&to), text);
  int us = int(ETH_LOAD(c, udp_socket));
  if (us <= 2) return system_error(sock_err_not_connected_code());
  if (cls == kClassBroadcast) {
    sock_set_broadcast(us);
    uint8_t ip[4];
    std::memcpy(ip, c->local_ip, 4);
    ip[3] = 255;
    sock_addr_make(&to, ip, uint16_t(c->udp_port));
  }
  int r = sock_sendto(us, msg, len, &to);
  capture_event(c, kTx, kEvSentDatagram, le32(msg), seq, word1);
  full_record(c, c->is_server ? 14 : 13, msg, len);
  return r < 0 ? system_error(-r) : 0;
}

extern "C" int eth_reconnect(Connection* c, int attempt) {
  if (!conn_is_valid(c)) return 1;
  capture_event(c, kRx, kEvReconnect, uint32_t(ETH_LOAD(c, status)), ETH_LOAD(c, thread_running),
                ETH_LOAD(c, accepted_socket));
  if (attempt != 0) attempt = attempt % 10 + 1;
  int rc = 0;
  if (attempt <= 1) {
    int r = eth_disconnect(c);
    if (r != 0) return r;
  }
  if (!ETH_LOAD(c, thread_running)) {
    char host[64];
    std::memcpy(host, c->host, sizeof host);
    host[63] = 0;
    rc = eth_connect(c, host, int(c->tcp_port), int(c->udp_port));
  }
  if (rc == 0 && attempt != 0 && !c->is_server && ETH_LOAD(c, status) == kStatusDown &&
      c->type_class[kTypePoke] != kClassStream) {
    uint8_t poke[400];
    int n = msg_build(c, poke, sizeof poke, kTypePoke, 0, nullptr, 0);
    rc = n == 0 ? 2 : conn_send(c, poke, 0);
  }
  return rc;
}
