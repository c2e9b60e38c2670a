#include <cstdint>

#include "diag/report_text.h"
#include "commlib/qcomm.h"
#include "diag/gamecomm.h"
#include "diag/linkdoctor.h"
#include "diag/report.h"
#include "diag/sound.h"
#include "probe/settings.h"

bool game_sound_check() {
  if (!begin_game_action()) return false;
  uint8_t buf[QCOMM_MAX_MESSAGE];
  msg_build(game_link, buf, static_cast<int>(sizeof buf), GAME_MSG_TYPE, GAME_CMD_REWARD,
            nullptr, 0);
  // The menu gives no answer to this command; a failed send shows only in the result,
  // the report reads the same.
  int sent = conn_send(game_link, buf, 0);
  close_game_link();
  panel_append("\nReward sound command sent");
  panel_show();
  return sent == QCOMM_SEND_OK;
}

// A failed send after the link opened is told by nothing, so the doctor runs only when
// the link did not open.
void game_sound_test() {
  if (!game_sound_check() && game_link_result != GAME_LINK_OPEN) link_doctor_after_test(DoctorTest{game_link_result, 0});
}
