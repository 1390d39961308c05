// Fingerprint management: list, rename, delete one, delete all, and the
// clean-up of module templates that the list does not know.
#include "tirvane-server-manage.h"
#include "app_fp256_360.h"
#include "common.h"
#include "tirvane-server-bus.h"
#include "tirvane-server-operation.h"
#include "tirvane_common.h"
#include "upgrade.h"
#include "usb_device.h"

#include <array>
#include <cstring>
#include <memory>

char **finger_name = nullptr;

namespace
{

// Whether the device may be used for a deletion at all; logged when not.
bool device_usable_for_deletion(tvp_dev *dev)
{
    if (dev->enable == 0 || dev->dev_num.load() < 1) {
        TVP_LOG(LOG_LOG_GRADE, "device disable!!!\n");
        return false;
    }
    if (get_upgrade_state() == 1) {
        TVP_LOG(LOG_LOG_GRADE, "device not idle!!!\n");
        return false;
    }
    return true;
}

// Holds the device for a deletion with the module open; false (logged) when the
// device is busy or the module does not open. A refusal leaves the operation
// that holds the device undisturbed.
bool ready_for_deletion(DeviceHold &hold)
{
    if (!hold.held()) {
        TVP_LOG(LOG_LOG_GRADE, "device not idle!!!\n");
        return false;
    }
    if (!hold.open_module()) {
        TVP_LOG(LOG_LOG_GRADE, "open device failed!!!\n");
        return false;
    }
    return true;
}

enum class Deletion {
    Done,         // entry freed and template deleted
    Changed,      // the entry changed meanwhile: nothing done
    NotSaved,     // the list could not be saved: nothing done
    ModuleFailed, // the module did not confirm the deletion
};

// Deletes the finger at list index `index`, which held `entry`. The list entry
// goes before the template: a crash between the two leaves a template that no
// entry names, which cannot match and is cleared by the next enrolment, rather
// than an entry naming a slot the module has emptied. So when the list cannot be
// saved, the template is not touched. The entry comes back at its own index
// when the module answers that it did not delete; without an answer it stays
// gone (a template the module may still hold is again one that no entry names).
Deletion delete_finger(tvp_dev *dev, int index, const fprint_info &entry)
{
    const uint16_t slot = entry.fprint_id;
    const int freed = tvp_del_fprint_info_at(dev, index, &entry);
    if (freed == -2) {
        TVP_LOG(LOG_LOG_GRADE, "id=%s finger=%s changed meanwhile, enroll_id %d kept\n", entry.user_id,
                entry.fprint_name, slot);
        return Deletion::Changed;
    }
    if (freed != 0) {
        TVP_LOG(ERR_LOG_GRADE,
                "tvp_del_fprint_info id=%s finger=%s failed!!! list not saved, enroll_id %d kept\n",
                entry.user_id, entry.fprint_name, slot);
        return Deletion::NotSaved;
    }
    if (fp_delete_template(slot, 1) == 0) {
        return Deletion::Done;
    }
    if (fp_device_param.delete_template_result != FP_RESP_NONE &&
        tvp_restore_fprint_info_at(dev, index, &entry) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "restoring id=%s finger=%s failed!!!\n", entry.user_id, entry.fprint_name);
    }
    return Deletion::ModuleFailed;
}

// Deletion workers: the module commands run here, off the main loop, and the
// call is answered once they are done and the device is idle again.
void *delete_finger_pt(void *data)
{
    std::unique_ptr<WorkerCall> call(static_cast<WorkerCall *>(data));
    tvp_delete_finger_of(dev_tirvane, call->string(0), call->string(1));
    tirvane_complete_delete_finger_by_name(call->skeleton(), call->invocation());
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return nullptr;
}

void *delete_all_fingers_pt(void *data)
{
    std::unique_ptr<WorkerCall> call(static_cast<WorkerCall *>(data));
    tvp_delete_fingers_of(dev_tirvane, call->string(0));
    tirvane_complete_delete_all_feature_by_user_id(call->skeleton(), call->invocation());
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return nullptr;
}

} // namespace

namespace
{

// Copies the names of `id`'s fingers, in list order, into `names` (room for the
// whole list and the terminator): 100-byte heap buffers, as the reply wants.
// Calls `take` with each of `id`'s entries, in list order, from a snapshot of
// the table taken under the store's lock.
template <typename Take> void for_each_finger_of(tvp_dev *dev, const char *id, Take take)
{
    fprint_info list[TVP_FPRINT_LIST_SIZE];
    tvp_copy_fprint_list(dev, list);
    for (const fprint_info &entry : list) {
        if (entry.enable == 1 && strcmp(entry.user_id, id) == 0) {
            take(entry);
        }
    }
}

void collect_finger_names(tvp_dev *dev, const char *id, char **names)
{
    int count = 0;
    for_each_finger_of(dev, id, [&](const fprint_info &entry) {
        auto *name = static_cast<char *>(g_malloc0(TVP_TEXT_FIELD_SIZE));
        memcpy(name, entry.fprint_name, TVP_TEXT_FIELD_SIZE - 1);
        names[count++] = name;
        TVP_LOG(DBG_LOG_GRADE, "%s\n", name);
    });
}

} // namespace

DeleteOutcome tvp_delete_finger_of(tvp_dev *dev, const char *id, const char *finger)
{
    if (!device_usable_for_deletion(dev)) {
        return DeleteOutcome::Busy;
    }
    DeviceHold hold(dev, DEVS_CLEAN_DOING, HoldWait::HandOver);
    if (!ready_for_deletion(hold)) {
        return DeleteOutcome::Busy;
    }
    fprint_info entry{};
    const int index = tvp_copy_fprint_info(dev, id, finger, &entry);
    if (index == 0) {
        TVP_LOG(LOG_LOG_GRADE, "not find id=%s finger=%s!!!\n", id, finger);
        return DeleteOutcome::NotFound;
    }
    TVP_LOG(DBG_LOG_GRADE, "enroll_id = %d\n", entry.fprint_id);
    const Deletion done = delete_finger(dev, index, entry);
    if (done == Deletion::ModuleFailed) {
        TVP_LOG(LOG_LOG_GRADE, "fp_delete_template enroll_id=%d failed!!!\n", entry.fprint_id);
    }
    return done == Deletion::Done ? DeleteOutcome::Deleted : DeleteOutcome::Failed;
}

DeleteOutcome tvp_delete_fingers_of(tvp_dev *dev, const char *id)
{
    if (!device_usable_for_deletion(dev)) {
        return DeleteOutcome::Busy;
    }
    DeviceHold hold(dev, DEVS_CLEAN_DOING, HoldWait::HandOver);
    if (!ready_for_deletion(hold)) {
        return DeleteOutcome::Busy;
    }
    // Work from a snapshot: deleting changes the table under the walk; each
    // deletion checks that its index still holds the entry.
    fprint_info list[TVP_FPRINT_LIST_SIZE];
    tvp_copy_fprint_list(dev, list);
    int found = 0;
    int failed = 0;
    for (int i = 0; i < TVP_FPRINT_LIST_SIZE; ++i) {
        const fprint_info &entry = list[i];
        if (entry.enable != 1 || strcmp(entry.user_id, id) != 0) {
            continue;
        }
        ++found;
        const Deletion done = delete_finger(dev, i + 1, entry);
        if (done == Deletion::ModuleFailed) {
            TVP_LOG(ERR_LOG_GRADE, "fp_delete_template enroll_id %d failed!!!\n", entry.fprint_id);
        }
        if (done != Deletion::Done) {
            ++failed;
        }
    }
    if (found == 0) {
        return DeleteOutcome::NotFound;
    }
    return failed == 0 ? DeleteOutcome::Deleted : DeleteOutcome::Failed;
}

std::vector<std::string> tvp_finger_names_of(tvp_dev *dev, const char *id)
{
    std::vector<std::string> names;
    if (dev->dev_num.load() < 1 || (!tvp_fprint_list_is_current() && tvp_get_fprint_list(dev) != 0)) {
        return names;
    }
    for_each_finger_of(dev, id, [&](const fprint_info &entry) {
        names.emplace_back(entry.fprint_name, strnlen(entry.fprint_name, sizeof(entry.fprint_name)));
    });
    return names;
}

gboolean gdbus_handle_listfingers(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id)
{
    TVP_LOG(DBG_LOG_GRADE, "start, id=%s.\n", id);
    tvp_dev *dev = dev_tirvane;
    finger_name = static_cast<char **>(g_malloc0_n(TVP_FPRINT_LIST_SIZE + 1, sizeof(char *)));
    if (dev->dev_num.load() < 1) {
        set_onekey_powerup_flag(0);
        set_onekey_restart_flag(0);
        TVP_LOG(LOG_LOG_GRADE, "can't open device.\n");
    } else if (tvp_fprint_list_is_current() || tvp_get_fprint_list(dev) == 0) {
        // The table is re-read whenever the file changed since it was loaded or saved.
        collect_finger_names(dev, id, finger_name);
    }
    tirvane_complete_listfingers(skeleton, invocation, finger_name);
    g_strfreev(finger_name);
    finger_name = nullptr;
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return TRUE;
}

GVariant *tvp_listfingers_quick_answer(const char *id)
{
    tvp_dev *dev = dev_tirvane;
    // Without a module the handler also clears a pending one-key result; a list
    // file that changed is read again by the handler on the main loop.
    if (dev == nullptr || dev->dev_num.load() < 1 || !tvp_fprint_list_is_current()) {
        return nullptr;
    }
    TVP_LOG(DBG_LOG_GRADE, "start, id=%s.\n", id);
    g_auto(GStrv) names = static_cast<char **>(g_malloc0_n(TVP_FPRINT_LIST_SIZE + 1, sizeof(char *)));
    collect_finger_names(dev, id, names);
    GVariant *answer = g_variant_new("(^as)", names);
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return answer;
}

gboolean gdbus_handle_renamefinger_name(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id,
                                        const gchar *finger, const gchar *newName)
{
    TVP_LOG(DBG_LOG_GRADE, "start, id=%s, finger=%s, newName=%s.\n", id, finger, newName);
    tvp_dev *dev = dev_tirvane;
    // Found and stored under one hold of the store's lock; the table changes
    // only once the file holds the new name.
    const int renamed = tvp_rename_fprint_info(dev, id, finger, newName);
    if (renamed == -2) {
        TVP_LOG(ERR_LOG_GRADE, "tvp_find_fprint_info not found!!!\n");
    } else if (renamed != 0) {
        TVP_LOG(ERR_LOG_GRADE, "tvp_set_fprint_info failed!!!\n");
    }
    tirvane_complete_renamefinger_name(skeleton, invocation);
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return TRUE;
}

gboolean gdbus_handle_delete_finger_by_name(Tirvane *skeleton, GDBusMethodInvocation *invocation,
                                            const gchar *id, const gchar *finger)
{
    TVP_LOG(DBG_LOG_GRADE, "start, id=%s, finger=%s.\n", id, finger);
    WorkerCall *call = tvp_worker_call(skeleton, invocation);
    if (call != nullptr) {
        call->add_string(id);
        call->add_string(finger);
        tvp_start_worker(delete_finger_pt, call);
    }
    return TRUE;
}

gboolean gdbus_handle_delete_all_feature_by_user_id(Tirvane *skeleton, GDBusMethodInvocation *invocation,
                                                    const gchar *id)
{
    TVP_LOG(DBG_LOG_GRADE, "start, id=%s.\n", id);
    WorkerCall *call = tvp_worker_call(skeleton, invocation);
    if (call != nullptr) {
        call->add_string(id);
        tvp_start_worker(delete_all_fingers_pt, call);
    }
    return TRUE;
}

int tvp_delete_invalid_feature(tvp_dev *dev)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    if (dev->enable == 0) {
        TVP_LOG(ERR_LOG_GRADE, "tirvane-serverd not enable!!!\n");
        return -1;
    }
    if (tvp_get_fprint_list(dev) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "tvp_get_fprint_list failed!!!\n");
        return -1;
    }
    std::array<uint8_t, 32> index_table_info{};
    fprint_info list[TVP_FPRINT_LIST_SIZE];
    tvp_copy_fprint_list(dev, list);
    for (const fprint_info &entry : list) {
        if (entry.enable == 1 && entry.fprint_id <= 255) {
            index_table_info[entry.fprint_id / 8] |= static_cast<uint8_t>(1u << (entry.fprint_id % 8));
        }
    }
    TVP_LOG(DBG_LOG_GRADE, "********========print index_table_info\n");
    for (uint8_t byte : index_table_info) {
        tvp_log_raw(DBG_LOG_GRADE, "%02x ", byte);
    }
    tvp_log_raw(DBG_LOG_GRADE, "\r\n");
    fp_delete_invalid_template(index_table_info.data());
    return 0;
}
