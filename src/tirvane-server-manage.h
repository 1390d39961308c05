// Fingerprint management shared by both bus interfaces: listing and deleting
// the fingers of a user id. The deletions hold the device; call them from
// worker threads.
#pragma once

#include "tirvane-generated.h"
#include "tirvane_common.h"

#include <gio/gio.h>
#include <string>
#include <vector>

// The names of `id`'s fingers in list order; empty without a module.
std::vector<std::string> tvp_finger_names_of(tvp_dev *dev, const char *id);

// What became of a deletion.
enum class DeleteOutcome {
    Deleted,  // every finger asked for is gone
    NotFound, // there was nothing to delete
    Busy,     // the device is held by another operation, absent or upgrading: nothing done
    Failed,   // the list or the module refused at least one finger; those stay
};
// Deletes `id`'s finger named `finger`.
DeleteOutcome tvp_delete_finger_of(tvp_dev *dev, const char *id, const char *finger);
// Deletes every finger of `id`.
DeleteOutcome tvp_delete_fingers_of(tvp_dev *dev, const char *id);

// Our own interface's handlers and workers.
gboolean gdbus_handle_listfingers(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id);
gboolean gdbus_handle_renamefinger_name(Tirvane *skeleton, GDBusMethodInvocation *invocation, const gchar *id,
                                        const gchar *finger, const gchar *newName);
gboolean gdbus_handle_delete_finger_by_name(Tirvane *skeleton, GDBusMethodInvocation *invocation,
                                            const gchar *id, const gchar *finger);
gboolean gdbus_handle_delete_all_feature_by_user_id(Tirvane *skeleton, GDBusMethodInvocation *invocation,
                                                    const gchar *id);

// Removes from the module every template in the enrolment window that the
// list does not know; the module must be open.
int tvp_delete_invalid_feature(tvp_dev *dev);

// The reply of listfingers for `id` when it can be built anywhere (module present,
// list table in step with its file), with the handler's log lines; null when the
// call must go to its handler.
GVariant *tvp_listfingers_quick_answer(const char *id);
