// Capture event codes: the one list. Each entry is (name, code, short text); the library
// records the code, zrcdump prints the text, tests refer to the name. Client and server
// share 50-53 (the first value of those records says where they were written).
// The codes and texts are part of the capture file format: never renumber.
#pragma once
#include <cstdint>

#define QC_EVENT_LIST(X)                              \
  X(QueuedStream, 0, "queued-stream")                 \
  X(QueuedDatagram, 1, "queued-datagram")             \
  X(ReplacedLatest, 20, "replaced-latest")            \
  X(QueueFullDrop, 21, "queue-full-drop")             \
  X(ClientPartialHeld, 22, "c-partial-held")          \
  X(ServerPartialHeld, 23, "s-partial-held")          \
  X(ClientStreamDiscard, 24, "c-stream-discard")      \
  X(ClientStreamShort, 25, "c-stream-short")          \
  X(ClientStreamMore, 26, "c-stream-more")            \
  X(ServerStreamDiscard, 27, "s-stream-discard")      \
  X(ServerStreamShort, 28, "s-stream-short")          \
  X(ServerStreamMore, 29, "s-stream-more")            \
  X(Unqueued, 30, "unqueued")                         \
  X(PartialDropped, 31, "partial-dropped")            \
  X(SentDatagram, 41, "sent-datagram")                \
  X(SentStream, 42, "sent-stream")                    \
  X(BeaconSent, 43, "beacon-sent")                    \
  X(SocketMade, 50, "socket-made")                    \
  X(SocketClosed, 51, "socket-closed")                \
  X(ConnectedLate, 52, "connected-late")              \
  X(AcceptedClosed, 53, "socket-closed")              \
  X(Disconnect, 91, "disconnect")                     \
  X(Reconnect, 92, "reconnect")                       \
  X(ConnectStepFail, 93, "connect-step-fail")         \
  X(SendUnconnected, 99, "send-unconnected")          \
  X(ClientUdpLocal, 100, "c-udp-local")               \
  X(ClientNonblockFail, 101, "c-nonblock-fail")       \
  X(ClientConnectError, 102, "c-connect-error")       \
  X(ClientConnectPending, 103, "c-connect-pending")   \
  X(ClientConnected, 104, "c-connected")              \
  X(ClientSelectBefore, 105, "c-select-before")       \
  X(ClientSelectError, 106, "c-select-error")         \
  X(ClientSelectAfter, 107, "c-select-after")         \
  X(ClientTcpReceive, 108, "c-tcp-receive")           \
  X(ClientTcpLost, 109, "c-tcp-lost")                 \
  X(ClientUdpReceive, 110, "c-udp-receive")           \
  X(ClientLateConnectFail, 124, "c-late-connect-fail") \
  X(ClientBeaconMatch, 125, "c-beacon-match")         \
  X(ClientConnectDone, 126, "c-connect-done")         \
  X(ClientAlreadyConnected, 127, "c-already-connected") \
  X(ServerUdpLocal, 200, "s-udp-local")               \
  X(ServerListenFail, 201, "s-listen-fail")           \
  X(ServerAccepted, 203, "s-accepted")                \
  X(ServerSelectBefore, 205, "s-select-before")       \
  X(ServerSelectError, 206, "s-select-error")         \
  X(ServerSelectAfter, 207, "s-select-after")         \
  X(ServerTcpReceive, 208, "s-tcp-receive")           \
  X(ServerClientGone, 209, "s-client-gone")           \
  X(ServerUdpReceive, 210, "s-udp-receive")           \
  X(ServerAcceptTry, 211, "s-accept-try")             \
  X(ServerAcceptFail, 212, "s-accept-fail")           \
  X(ServerAcceptDrop, 213, "s-accept-drop")           \
  X(ServerPoke, 224, "s-poke")                        \
  X(SerRead, 300, "ser-read")                         \
  X(SerRawTaken, 301, "ser-raw-taken")                \
  X(SerRawNearlyFull, 302, "ser-raw-nearly-full")     \
  X(SerReadFail, 303, "ser-read-fail")                \
  X(SerLineError, 304, "ser-line-error")              \
  X(SerQuiet, 305, "ser-quiet")                       \
  X(SerRawDropped, 306, "ser-raw-dropped")            \
  X(SerRawFull, 307, "ser-raw-full")                  \
  X(SerRawKept, 308, "ser-raw-kept")                  \
  X(SerWrite, 309, "ser-write")                       \
  X(SerNoComNumber, 310, "ser-no-com-number")         \
  X(SerOpenFail, 311, "ser-open-fail")                \
  X(SerOpened, 312, "ser-opened")                     \
  X(SerClose, 313, "ser-close")                       \
  X(SerReopen, 314, "ser-reopen")                     \
  X(SerDtr, 315, "ser-dtr")                           \
  X(SerRts, 316, "ser-rts")                           \
  X(SerRawEmpty, 317, "ser-raw-empty")                \
  X(SerByte, 319, "ser-byte")                         \
  X(SerBadHeader, 320, "ser-bad-header")              \
  X(SerMessage, 321, "ser-message")                   \
  X(SerBufferFull, 322, "ser-buffer-full")            \
  X(SerModeSwitch, 323, "ser-mode-switch")            \
  X(SerReset, 324, "ser-reset")

namespace qc {

#define QC_EVENT_ENUM(name, code, text) kEv##name = code,
enum Event : uint16_t { QC_EVENT_LIST(QC_EVENT_ENUM) };
#undef QC_EVENT_ENUM

// Short text of an event code, "?" for a code the library never writes.
inline const char* event_name(unsigned code) {
#define QC_EVENT_CASE(name, value, text) \
  case value:                            \
    return text;
  switch (code) { QC_EVENT_LIST(QC_EVENT_CASE) }
#undef QC_EVENT_CASE
  return "?";
}

}  // namespace qc
