#include "app/actions.h"

#include "app/ip_dialog.h"
#include "app/launchers.h"
#include "app/startup.h"
#include "diag/amplifier.h"
#include "diag/gamecomm.h"
#include "diag/report.h"
#include "diag/sound.h"
#include "platform/launch.h"

void action_local_sound_test() { local_sound_test(); }
void action_game_sound_test() { game_sound_test(); }
void action_rescan() { rescan_action(); }
void action_game_comm_test() { game_comm_test(); }
void action_amplifier_test() { amplifier_test(true); }
void action_ip_setup() { ip_setup_action(); }

// A launcher's result is not reported: a missing tool shows nothing.
static void launch(int launcher, int tool) {
  (void)plat_launch_tool(tool, launcher_command(launcher, os_code));
}

void action_device_manager() { launch(LAUNCHER_DEVICE_MANAGER, PLAT_TOOL_DEVICE_MANAGER); }
void action_network_connections() { launch(LAUNCHER_NETWORK, PLAT_TOOL_NETWORK); }
void action_cmd() { launch(LAUNCHER_CMD, PLAT_TOOL_CMD); }
