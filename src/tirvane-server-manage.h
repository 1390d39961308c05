// Fingerprint management shared by both bus interfaces: listing and deleting
// the fingers of a user id. The deletions hold the device; call them from
// worker threads.
#pragma once

#include "tirvane_common.h"

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
