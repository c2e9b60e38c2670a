// "Test  Game Communications": does the game computer answer over the configured link?
#pragma once

struct Connection;

// The game menu's command messages: one type, the command byte says what.
constexpr int GAME_MSG_TYPE = 224;
constexpr int GAME_CMD_ECHO = 4;    // answered with a message back
constexpr int GAME_CMD_REWARD = 9;  // plays the reward sound

// The link opened by open_game_link; the caller disconnects and frees it.
extern Connection* game_link;
// The result of the last open_game_link, for the link doctor.
extern int game_link_result;

// Result codes of open_game_link.
enum {
  GAME_LINK_OPEN = 0,
  GAME_LINK_LOCALHOST = 1,      // display mode is not two-computer
  GAME_LINK_NO_OBJECT = 2,      // conn_alloc failed
  GAME_LINK_NO_SERIAL = 3,      // serial, no game port configured
  GAME_LINK_NO_PORT = 4,        // serial, the game port does not exist
  GAME_LINK_SERIAL_FAIL = 5,    // serial, connect failed
  GAME_LINK_NO_DSR = 6,         // serial, nothing answers on the line
  GAME_LINK_BAD_PORT = 11,      // ethernet, port other than 5510
  GAME_LINK_NO_ADDRESS = 12,    // ethernet, address absent or empty
  GAME_LINK_BAD_ADDRESS = 13,   // ethernet, address does not resolve
  GAME_LINK_ETH_FAIL = 14,      // ethernet, connect failed
  GAME_LINK_NOT_CONNECTED = 15  // ethernet, no TCP connection one second after connect
};

// Checks the link settings (as last read) and connects. Appends the reason of a failure
// to the report; on any failure nothing stays allocated.
int open_game_link();

// Sends one echo request and waits up to ten seconds for any message back.
bool echo_exchange(Connection* c);

// The start of a game button's action: the report afresh, the settings read and the
// link opened. On failure the panel is shown and false returned.
bool begin_game_action();

// Disconnects and frees the game link.
void close_game_link();

// The button's action: the test, and the link doctor's findings below it when it fails.
void game_comm_test();

// The same action, telling whether the game computer answered the echo.
bool game_comm_check();
