// Named values of the connection's small state fields (commlib/connection.h), so that the
// transports compare and store names rather than numbers. The values are fixed: they show
// in capture records and through the object's public status field.
#pragma once
#include <cstdint>

namespace qc {

// Connection::transport
enum Transport : uint16_t { kTransportSerial = 0, kTransportEthernet = 1 };

// Connection::status; nonzero means connected (conn_get_status).
enum Status : int16_t {
  kStatusDown = 0,
  kStatusConnectedAtOnce = 1,   // client: connect succeeded in the call
  kStatusConnectDone = 2,       // client: pending connect completed (socket writable)
  kStatusAccepted = 3,          // server: a client is accepted
  kStatusAlreadyConnected = 4,  // client: the system said already connected
  kStatusPortOpen = 4,          // serial: the port is open
};

// Connection::connect_state. Positive: the client wants a connect attempt; zero or
// negative: how the connection was made. -3 and 6 are the server's.
enum ConnectState : int16_t {
  kConnectStart = 1,         // worker started
  kConnectPending = 2,       // connect in progress
  kConnectPoked = 4,         // a poke or our server's beacon arrived
  kConnectLost = 5,          // the TCP connection was lost
  kConnectFailed = 9,        // an attempt after a select time-out failed at once
  kConnectedAtTop = 0,       // connected at the top of a pass
  kConnectedAfterWait = -1,  // connected after a select time-out
  kConnectedWritable = -2,   // pending connect completed
  kConnectedAlready = -4,    // found already connected
  kServerAcceptedState = -3, // server accepted a client
  kServerLostState = 6,      // server lost its client on a select error
};

// Connection::listen_state (server).
enum ListenState : int16_t {
  kListening = 0,
  kListenStarting = -1,
  kListenFirst = 1,     // inside the first listen call
  kListenAgain = 2,     // inside a repeated listen call
  kListenGivenUp = -9,  // the start wait ran out
};

// Connection::type_class entries: how a message type travels and queues.
enum TypeClass : uint8_t {
  kClassStream = 0,
  kClassDatagram = 1,
  kClassLatest = 2,     // datagram; a newer copy replaces the queued one while connected
  kClassBroadcast = 4,  // datagram sent to the /24 subnet broadcast
};

// Message types that the library itself gives a meaning to.
constexpr uint8_t kTypeBeacon = 237;  // the server's presence beacon (datagram)
constexpr uint8_t kTypePoke = 239;    // asks a server to take a connection (datagram)
// Types 160..175 and the poke are datagrams in a new object's class table.
constexpr uint8_t kFirstDatagramType = 160;
constexpr uint8_t kLastDatagramType = 175;

}  // namespace qc
