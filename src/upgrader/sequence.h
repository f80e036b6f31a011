// The locked upgrade sequence (shared-memory and file mode), the direct mode
// and the process-wide state they share.
#ifndef UPGRADER_SEQUENCE_H
#define UPGRADER_SEQUENCE_H

#include "upgrader/devenv.h"
#include "upgrader/rompack.h"

class CBasicUI;

#define UPGRADER_NAME "upgrader"
#define UPGRADER_VERSION "1.0.0.81"
#define INSTALLED_PATH "/basic/bin/upgrader"
#define RELAUNCH_PATH "/tmp/upgrader_tool"

// What main hands to a mode.
typedef struct upgrader_run {
    int argc;
    char **argv;
    CBasicUI *ui;
    int reboot_selector; // 0: /tmp/reboot, -1: reboot
    int cfg_semid;
    env_info *table; // ENV_TABLE_SIZE entries
    Rom_Header *header;
    Partition_Header *partitions; // MAX_PARTITIONS
    int *flags;                   // MAX_PARTITIONS
} upgrader_run;

// Shared-memory mode (argc 1) and file mode (argc 2). The status main ends
// with; the final clean-up is done here.
[[nodiscard]] int upgrader_sequence(upgrader_run *run);

// Direct mode (argc 3).
[[nodiscard]] int upgrader_direct(upgrader_run *run);

#endif
