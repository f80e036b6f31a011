// Extracting, staging, applying and dropping what the check changes.
#include "upgrader/rompack_pending.h"

#include "log/rl_log.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int mtd_config = 0;
uint32_t upgrader_tool_version = 0;
int upgrader_tool_extracted = 0;

namespace
{

// Resolves a program path; an empty string when it does not fit, which makes
// any later open or command fail instead of touching another file.
struct Path {
    explicit Path(const char *path) { (void)platform_path(path, text, sizeof(text)); }
    char text[1024];
};

// Extracts a payload to path, in a file this run makes (see
// platform_create_private): a link or file planted under the name never
// receives the payload, and nobody else can rewrite it before it is used.
// 0 when every byte was stored, -1 otherwise.
[[nodiscard]] int write_payload_file(const char *path, const uint8_t *data, size_t size,
                                     unsigned int mode)
{
    UniqueFd fd(platform_create_private(path, mode));
    if (!fd.valid()) {
        rl_log_err("%s open failed!\n", path);
        return -1;
    }
    const size_t stored = platform_write_all(fd.get(), data, size);
    if (stored != size || close(fd.release()) != 0) {
        rl_log_err("%s write failed: %u of %u bytes stored: %s\n", path,
                   static_cast<unsigned>(stored), static_cast<unsigned>(size), strerror(errno));
        return -1;
    }
    return 0;
}

const char kConfigModify[] = "/config/config_modify";
const char kConfigModifyStaged[] = "/config/config_modify.new";

// The configuration modification waits beside its place until the pack is
// accepted. It is written whole and synced first, so that the rename leaves
// either the old file or all of the new one; whatever had the staged name
// (an earlier pack's leftover, a link) is removed rather than written through.
[[nodiscard]] int stage_config_modify(const uint8_t *data, size_t size)
{
    Path staged(kConfigModifyStaged);
    UniqueFd fd(platform_create_private(kConfigModifyStaged, 0600));
    if (!fd.valid()) {
        rl_log_err("%s open failed!\n", staged.text);
        return -1;
    }
    const size_t stored = platform_write_all(fd.get(), data, size);
    const bool ok = stored == size && fsync(fd.get()) == 0 && fchmod(fd.get(), 0777) == 0 &&
                    close(fd.release()) == 0;
    if (!ok) {
        rl_log_err("%s could not be written (%u of %u bytes stored): %s\n", staged.text,
                   static_cast<unsigned>(stored), static_cast<unsigned>(size), strerror(errno));
        fd.reset();
        (void)unlink(staged.text); // the failure is what is reported
        return -1;
    }
    return 0;
}

// Writes the first count staged variables back to the values the check
// read, the last written first; one that was not set is unset (its name
// written alone).
void put_back_env(const rompack_pending *pending, int count)
{
    for (int i = count - 1; i >= 0; --i) {
        const auto &e = pending->env[i];
        const char *before = e.was_set ? e.before : "";
        if (do_set_env(e.name, before) != 0)
            rl_log_err("%s could not be put back to \"%s\"\n", e.name, before);
    }
}

// The rename leaves either the old file or all of the new one, so it comes
// last: nothing is left to undo after it.
[[nodiscard]] int place_config_modify()
{
    Path staged(kConfigModifyStaged);
    Path target(kConfigModify);
    if (rename(staged.text, target.text) != 0) {
        rl_log_err("%s could not be put in place: %s\n", target.text, strerror(errno));
        return UPD_MSG_ERR;
    }
    // The rename itself must outlive a power cut that comes before the
    // reboot syncs.
    Path dir("/config");
    UniqueFd config(open(dir.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!config.valid() || fsync(config.get()) != 0)
        rl_log_warn("%s: sync of the directory failed\n", dir.text);
    return UPD_MSG_OK;
}

} // namespace

void rompack_stage_env(rompack_pending *pending, const char *name, const char *value,
                       const char *before)
{
    if (pending == nullptr || name == nullptr || value == nullptr)
        return;
    if (pending->env_count >= static_cast<int>(sizeof(pending->env) / sizeof(pending->env[0])))
        return; // the rules make at most three
    auto &e = pending->env[pending->env_count];
    snprintf(e.name, sizeof(e.name), "%s", name);
    snprintf(e.value, sizeof(e.value), "%s", value);
    e.was_set = before != nullptr ? 1 : 0;
    snprintf(e.before, sizeof(e.before), "%s", before != nullptr ? before : "");
    ++pending->env_count;
}

int rompack_extract_payload(const uint8_t *pack, const Partition_Header *part,
                            rompack_pending *pending)
{
    const uint8_t *data = pack + part->partition_offset;
    const size_t size = part->partition_size;
    switch (part->partition_type) {
    case 1: {
        rl_log_info("ppartition_addr->partition_type:%d\n", 1);
        upgrader_tool_version = part->partition_version;
        // Checked again by a run that goes on itself: the program it made
        // is in place and passed over.
        if (upgrader_tool_extracted == 1)
            return UPD_MSG_PART_SKIPPED;
        // Whatever had the name is replaced, even a file from an earlier
        // run: it is not known to hold this pack's program. A relaunched
        // copy replaces itself here, which its running image never notices.
        // Closed before it can be started (ETXTBSY otherwise).
        if (write_payload_file("/tmp/upgrader_tool", data, size, 0700) != 0) {
            // A cut program must not be there to be started. Should it stay,
            // nothing starts it: only a program this run wrote whole is.
            (void)platform_remove("/tmp/upgrader_tool");
            return UPD_MSG_PART_SKIPPED;
        }
        upgrader_tool_extracted = 1;
        return UPD_MSG_UPGRADER_TOOL;
    }
    case 2:
        rl_log_info("MTD CONFIG ppartition_addr->partition_type:%d\n", 2);
        // Without it the pack would be burned onto the old layout.
        if (write_payload_file("/tmp/mtd.conf", data, size, 0600) != 0) {
            rl_log_err("/tmp/mtd.conf could not be written: the pack's partition layout cannot "
                       "be applied\n");
            return UPD_MSG_ERR;
        }
        mtd_config = 1;
        return UPD_MSG_MTD_CONF;
    case 3:
        rl_log_info("CONFIG MODIFY ppartition_addr->partition_type:%d\n", 3);
        // A later one in the same pack replaces it; a failed one leaves the
        // installed file as it is.
        pending->config_modify = stage_config_modify(data, size) == 0 ? 1 : 0;
        return UPD_MSG_CONFIG_MODIFY;
    default:
        return UPD_MSG_PART_SKIPPED;
    }
}

int rompack_apply_pending(rompack_pending *pending)
{
    if (pending == nullptr)
        return UPD_MSG_ERR;
    const int room = static_cast<int>(sizeof(pending->env) / sizeof(pending->env[0]));
    const int count = pending->env_count < room ? pending->env_count : room;
    int r = UPD_MSG_OK;
    for (int i = 0; i < count && r == UPD_MSG_OK; ++i) {
        if (do_set_env(pending->env[i].name, pending->env[i].value) != 0) {
            // A write reported as failed may still have been taken: it is
            // put back with the others.
            put_back_env(pending, i + 1);
            r = UPD_MSG_SET_ENV_FAILED;
        }
    }
    if (r == UPD_MSG_OK && pending->config_modify) {
        r = place_config_modify();
        if (r != UPD_MSG_OK)
            put_back_env(pending, count);
    }
    if (r != UPD_MSG_OK) {
        Path staged(kConfigModifyStaged);
        (void)unlink(staged.text); // usually gone already: the rename failed or never came
    }
    memset(pending, 0, sizeof(*pending));
    return r == UPD_MSG_OK ? r : update_msg_refuse(r);
}

void rompack_drop_pending(rompack_pending *pending)
{
    // Unconditionally: a run that ended before its answer may have left one.
    Path staged(kConfigModifyStaged);
    (void)unlink(staged.text); // nothing there is the usual case
    if (pending != nullptr)
        memset(pending, 0, sizeof(*pending));
}
