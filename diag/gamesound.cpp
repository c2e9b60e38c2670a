#include <cstdint>

#include "app/panel.h"
#include "commlib/qcomm.h"
#include "diag/gamecomm.h"
#include "diag/report.h"
#include "diag/sound.h"
#include "probe/settings.h"

void game_sound_test() {
  if (!begin_game_action()) return;
  uint8_t buf[1600];
  msg_build(game_link, buf, static_cast<int>(sizeof buf), 224, 9, nullptr, 0);
  // A failed send is not detected: the menu gives no answer to this command.
  conn_send(game_link, buf, 0);
  close_game_link();
  panel_append("\nReward sound command sent");
  panel_show();
}
