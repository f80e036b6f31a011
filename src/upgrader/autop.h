// Configuration edits made after a successful upgrade, before the reboot.
#ifndef UPGRADER_AUTOP_H
#define UPGRADER_AUTOP_H

#include "upgrader/devenv.h"

#define AUTOP_RETRY_SAVE "/config/autop_retry_save.cfg"
#define PROGRAMABLE_KEY_CONF "/config/Phone/Key/ProgramableKey.conf"
#define AUTOP_MAX_FILES 10

// Gathers the provisioning files left in /tmp into
// "/config/autop_retry_save.cfg" and turns on the reboot after provisioning.
void config_autop(const env_info *table);

// Marks line key 8 unused for ROM versions 59.x.0-3.y.
void config_deleteLineKey8(const env_info *table);

#endif
