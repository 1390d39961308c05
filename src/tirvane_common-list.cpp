// The fingerprint list: 50 entries mapping module slots to (user id, finger
// name), mirrored in the key file "tvplist.conf".
//
// The store has one lock (a plain mutex, never taken twice on a thread: the
// public operations take it once and work through the *_locked helpers below).
// Every change that depends on what the table holds -- rename, delete, restore,
// the drop of entries naming an emptied slot, add -- finds and stores under one
// hold of it, so an index freed and reused in between is never overwritten with
// what it held before. Readers on other threads take copies under the lock.
//
// The table changes only once the file holds the change: a save that fails
// leaves both as they were, and the caller is told. Every save replaces the file
// atomically (GLib writes a temporary file and renames it over the old one), so
// a crash mid-save leaves either the old or the new list, never a torn one.
#include "tirvane_common.h"

#include "common.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

std::mutex list_mutex;

// Identity of the list file as last loaded or saved by this process; a file
// with the same identity holds what the table holds.
struct FileIdentity {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime {
    };
};
FileIdentity synced_file;

bool read_identity(FileIdentity *id)
{
    struct stat st {
    };
    if (stat(tvp_conf_file(TVP_LIST_FILE_NAME).c_str(), &st) != 0) {
        return false;
    }
    id->known = true;
    id->dev = st.st_dev;
    id->ino = st.st_ino;
    id->size = st.st_size;
    id->mtime = st.st_mtim;
    return true;
}

void note_synced()
{
    if (!read_identity(&synced_file)) {
        synced_file.known = false;
    }
}

std::string list_path()
{
    return tvp_conf_file(TVP_LIST_FILE_NAME);
}

std::string group_name(int index)
{
    char group[32] = {0};
    snprintf(group, sizeof(group), "UserFprint-%d", index);
    return group;
}

// Copies `value` into a 100-byte field, cut to at most 99 bytes on a UTF-8
// character boundary so the stored text stays valid on the bus.
void copy_text_field(char (&field)[TVP_TEXT_FIELD_SIZE], const char *value)
{
    size_t len = strnlen(value, TVP_TEXT_FIELD_SIZE - 1);
    // A hand-edited file may end a raw value in CR; the file keeps such a value
    // raw when saved back and the next load drops the CR as part of the line
    // end, so drop it now and keep the table equal to what the file yields.
    while (len > 0 && value[len - 1] == '\r') {
        --len;
    }
    const char *end = nullptr;
    if (!g_utf8_validate(value, static_cast<gssize>(len), &end)) {
        // Keep the valid prefix only when the cut fell inside a character.
        if (strlen(value) > TVP_TEXT_FIELD_SIZE - 1) {
            len = static_cast<size_t>(end - value);
        }
    }
    memset(field, 0, sizeof(field));
    memcpy(field, value, len);
}

fprint_info *entry_at(tvp_dev *dev, int index)
{
    return &tvp_priv(dev)->fprint_list[index - 1];
}

void log_gerror(const GError *error, tvp_log_origin at = tvp_log_origin::here())
{
    TVP_LOG_FROM(at, ERR_LOG_GRADE, "Error[%d]: %s\n", error->code, error->message);
}

} // namespace

int tvp_conf_init(void)
{
    const std::string path = list_path();
    // A missing file is created empty, without handing the path to a shell; the
    // "touch" line records that creation and is written only when it happened.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        close(fd);
        char cmd[1024] = {0};
        snprintf(cmd, sizeof(cmd), "touch %s", path.c_str());
        TVP_LOG(DBG_LOG_GRADE, "%s\n", cmd);
    }
    GKeyFile *key_file = nullptr;
    if (tvp_conf_open(&key_file) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "tvp_conf_open failed!!!\n");
        return -1;
    }
    tvp_conf_free(&key_file);
    return 0;
}

int tvp_conf_open(GKeyFile **key_file)
{
    g_autoptr(GKeyFile) file = g_key_file_new();
    g_autoptr(GError) error = nullptr;
    if (!g_key_file_load_from_file(
            file, list_path().c_str(),
            static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS), &error)) {
        log_gerror(error);
        return -1;
    }
    *key_file = static_cast<GKeyFile *>(g_steal_pointer(&file));
    return 0;
}

void tvp_conf_free(GKeyFile **key_file)
{
    if (key_file != nullptr && *key_file != nullptr) {
        g_key_file_free(*key_file);
        *key_file = nullptr;
    }
}

namespace
{

// Open the list file; the table is not touched when it cannot be read.
GKeyFile *open_list_file()
{
    GKeyFile *raw = nullptr;
    if (tvp_conf_open(&raw) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "open tvplist_conf failed!!!\n");
        return nullptr;
    }
    if (raw == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "tvplist_conf is NULL!!!\n");
    }
    return raw;
}

// Fills the table from the file; the caller holds the store's lock.
void fill_table(tvp_dev *dev, GKeyFile *key_file)
{
    for (int i = 1; i <= TVP_FPRINT_LIST_SIZE; ++i) {
        const std::string group = group_name(i);
        fprint_info *entry = entry_at(dev, i);
        g_autoptr(GError) error = nullptr;
        gboolean enabled = g_key_file_get_boolean(key_file, group.c_str(), "enable", &error);
        if (error != nullptr) {
            continue;
        }
        entry->enable = enabled ? 1 : 0;
        if (!enabled) {
            continue;
        }
        g_autofree gchar *user_id = g_key_file_get_string(key_file, group.c_str(), "user_id", &error);
        if (error != nullptr) {
            log_gerror(error);
            continue;
        }
        copy_text_field(entry->user_id, user_id);
        TVP_LOG(DBG_LOG_GRADE, "user_id = %s.\n", entry->user_id);
        g_autofree gchar *name = g_key_file_get_string(key_file, group.c_str(), "fprint_name", &error);
        if (error != nullptr) {
            log_gerror(error);
            continue;
        }
        copy_text_field(entry->fprint_name, name);
        TVP_LOG(DBG_LOG_GRADE, "fprint_name = %s.\n", entry->fprint_name);
        gint id = g_key_file_get_integer(key_file, group.c_str(), "fprint_id", &error);
        if (error != nullptr) {
            log_gerror(error);
            continue;
        }
        entry->fprint_id = static_cast<uint16_t>(id);
        TVP_LOG(DBG_LOG_GRADE, "fprint_id = %d.\n", entry->fprint_id);
    }
    note_synced();
}

} // namespace

int tvp_get_fprint_list(tvp_dev *dev)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    std::lock_guard<std::mutex> lock(list_mutex);
    g_autoptr(GKeyFile) key_file = open_list_file();
    if (key_file == nullptr) {
        return -1;
    }
    if (dev->dev_num.load() < 1) {
        TVP_LOG(ERR_LOG_GRADE, "device not online!!!\n");
        return -1;
    }
    fill_table(dev, key_file);
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return 0;
}

int tvp_load_fprint_list(tvp_dev *dev)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    std::lock_guard<std::mutex> lock(list_mutex);
    g_autoptr(GKeyFile) key_file = open_list_file();
    if (key_file == nullptr) {
        return -1;
    }
    fill_table(dev, key_file);
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return 0;
}

bool tvp_fprint_list_is_current(void)
{
    std::lock_guard<std::mutex> lock(list_mutex);
    FileIdentity now;
    if (!synced_file.known || !read_identity(&now)) {
        return false;
    }
    return now.dev == synced_file.dev && now.ino == synced_file.ino && now.size == synced_file.size &&
           now.mtime.tv_sec == synced_file.mtime.tv_sec && now.mtime.tv_nsec == synced_file.mtime.tv_nsec;
}

namespace
{

// One entry to be written at a 1-based index.
using IndexedEntry = std::pair<int, fprint_info>;

bool same_entry(const fprint_info &a, const fprint_info &b)
{
    return a.enable == b.enable && a.fprint_id == b.fprint_id && strcmp(a.user_id, b.user_id) == 0 &&
           strcmp(a.fprint_name, b.fprint_name) == 0;
}

int find_locked(tvp_dev *dev, const char *user_id, const char *fprint_name)
{
    int index = 0;
    for (int i = 1; i <= TVP_FPRINT_LIST_SIZE; ++i) {
        const fprint_info *entry = entry_at(dev, i);
        if (entry->enable == 1 && strcmp(entry->user_id, user_id) == 0 &&
            strcmp(entry->fprint_name, fprint_name) == 0) {
            index = i;
            break;
        }
    }
    TVP_LOG(DBG_LOG_GRADE, "index = %d.\n", index);
    return index;
}

int find_byfprintid_locked(tvp_dev *dev, uint16_t fprintid)
{
    int index = 0;
    for (int i = 1; i <= TVP_FPRINT_LIST_SIZE; ++i) {
        const fprint_info *entry = entry_at(dev, i);
        if (entry->enable == 1 && entry->fprint_id == fprintid) {
            index = i;
            break;
        }
    }
    TVP_LOG(DBG_LOG_GRADE, "index = %d.\n", index);
    return index;
}

int empty_index_locked(tvp_dev *dev)
{
    for (int i = 1; i <= TVP_FPRINT_LIST_SIZE; ++i) {
        if (entry_at(dev, i)->enable == 0) {
            return i;
        }
    }
    return 0;
}

// Writes the entries to the file in one save, then to the table; on any failure
// neither changes. The caller holds the store's lock and has checked the indices.
int save_entries_locked(tvp_dev *dev, const std::vector<IndexedEntry> &entries)
{
    GKeyFile *raw = nullptr;
    if (tvp_conf_open(&raw) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "open tvplist_conf failed!!!\n");
        return -1;
    }
    g_autoptr(GKeyFile) key_file = raw;
    for (const auto &[index, e] : entries) {
        TVP_LOG(DBG_LOG_GRADE, "[%s] enable=%d user_id=%s fprint_name=%s fprint_id=%d\n",
                group_name(index).c_str(), e.enable, e.user_id, e.fprint_name, e.fprint_id);
    }
    g_autoptr(GError) error = nullptr;
    [[maybe_unused]] g_autofree gchar *check = g_key_file_to_data(key_file, nullptr, &error);
    if (error != nullptr) {
        log_gerror(error);
        return -1;
    }
    for (const auto &[index, e] : entries) {
        const std::string group = group_name(index);
        g_key_file_set_boolean(key_file, group.c_str(), "enable", e.enable != 0);
        g_key_file_set_string(key_file, group.c_str(), "user_id", e.user_id);
        g_key_file_set_string(key_file, group.c_str(), "fprint_name", e.fprint_name);
        g_key_file_set_integer(key_file, group.c_str(), "fprint_id", e.fprint_id);
    }
    if (!g_key_file_save_to_file(key_file, list_path().c_str(), &error)) {
        log_gerror(error);
        synced_file.known = false; // whatever the file now is, the next reader re-reads it
        return -1;
    }
    for (const auto &[index, e] : entries) {
        *entry_at(dev, index) = e;
    }
    note_synced();
    return 0;
}

int set_locked(tvp_dev *dev, int index, const fprint_info &entry)
{
    return save_entries_locked(dev, {IndexedEntry{index, entry}});
}

bool valid_index(int index)
{
    return index >= 1 && index <= TVP_FPRINT_LIST_SIZE;
}

} // namespace

int tvp_find_fprint_info(tvp_dev *dev, const char *user_id, const char *fprint_name, fprint_info **found)
{
    if (user_id == nullptr || fprint_name == nullptr || found == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\n");
        return 0;
    }
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    std::lock_guard<std::mutex> lock(list_mutex);
    const int index = find_locked(dev, user_id, fprint_name);
    if (index != 0) {
        *found = entry_at(dev, index);
    }
    return index;
}

int tvp_find_fprint_info_byfprintid(tvp_dev *dev, uint16_t fprintid, fprint_info **found)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    std::lock_guard<std::mutex> lock(list_mutex);
    const int index = find_byfprintid_locked(dev, fprintid);
    if (index != 0) {
        *found = entry_at(dev, index);
    }
    return index;
}

int tvp_copy_fprint_info(tvp_dev *dev, const char *user_id, const char *fprint_name, fprint_info *out)
{
    if (user_id == nullptr || fprint_name == nullptr || out == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\n");
        return 0;
    }
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    std::lock_guard<std::mutex> lock(list_mutex);
    const int index = find_locked(dev, user_id, fprint_name);
    if (index != 0) {
        *out = *entry_at(dev, index);
    }
    return index;
}

bool tvp_copy_fprint_info_byfprintid(tvp_dev *dev, uint16_t fprintid, fprint_info *out)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    std::lock_guard<std::mutex> lock(list_mutex);
    const int index = find_byfprintid_locked(dev, fprintid);
    if (index == 0) {
        return false;
    }
    *out = *entry_at(dev, index);
    return true;
}

void tvp_copy_fprint_list(tvp_dev *dev, fprint_info (&out)[TVP_FPRINT_LIST_SIZE])
{
    std::lock_guard<std::mutex> lock(list_mutex);
    for (int i = 0; i < TVP_FPRINT_LIST_SIZE; ++i) {
        out[i] = tvp_priv(dev)->fprint_list[i];
    }
}

int tvp_get_empty_fprint_info(tvp_dev *dev)
{
    std::lock_guard<std::mutex> lock(list_mutex);
    return empty_index_locked(dev);
}

int tvp_set_fprint_info(tvp_dev *dev, int index, fprint_info *xfprint_info)
{
    if (xfprint_info == nullptr || !valid_index(index)) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\n");
        return -1;
    }
    std::lock_guard<std::mutex> lock(list_mutex);
    const fprint_info entry = *xfprint_info; // may be the table's own entry
    return set_locked(dev, index, entry);
}

int tvp_add_fprint_info(tvp_dev *dev, fprint_info *xfprint_info)
{
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    std::lock_guard<std::mutex> lock(list_mutex);
    if (find_locked(dev, xfprint_info->user_id, xfprint_info->fprint_name) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "fprint_info user_id=%s, fprint_name=%s already existed!!!\n",
                xfprint_info->user_id, xfprint_info->fprint_name);
        return -1;
    }
    const int index = empty_index_locked(dev);
    if (index == 0) {
        TVP_LOG(ERR_LOG_GRADE, "tvp_get_empty_fprint_info failed!!!\n");
        return -1;
    }
    if (set_locked(dev, index, *xfprint_info) != 0) {
        TVP_LOG(ERR_LOG_GRADE, "tvp_set_fprint_info failed!!!\n");
        return -1;
    }
    TVP_LOG(DBG_LOG_GRADE, "end.\n");
    return 0;
}

int tvp_del_fprint_info(tvp_dev *dev, const char *user_id, const char *fprint_name)
{
    if (user_id == nullptr || fprint_name == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\n");
        return 0;
    }
    std::lock_guard<std::mutex> lock(list_mutex);
    const int index = find_locked(dev, user_id, fprint_name);
    if (index == 0) {
        return 0;
    }
    // The group keeps the old user id, name and slot with enable false.
    fprint_info deleted = *entry_at(dev, index);
    deleted.enable = 0;
    return set_locked(dev, index, deleted);
}

int tvp_del_fprint_info_at(tvp_dev *dev, int index, const fprint_info *expected)
{
    if (expected == nullptr || !valid_index(index)) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\n");
        return -1;
    }
    std::lock_guard<std::mutex> lock(list_mutex);
    const fprint_info &current = *entry_at(dev, index);
    if (current.enable != 1 || !same_entry(current, *expected)) {
        return -2;
    }
    fprint_info deleted = current;
    deleted.enable = 0;
    return set_locked(dev, index, deleted);
}

int tvp_restore_fprint_info_at(tvp_dev *dev, int index, const fprint_info *entry)
{
    if (entry == nullptr || !valid_index(index)) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\n");
        return -1;
    }
    std::lock_guard<std::mutex> lock(list_mutex);
    int target = index;
    if (entry_at(dev, index)->enable != 0) {
        // Taken meanwhile: the entry is kept at the first free index rather than lost.
        target = empty_index_locked(dev);
        TVP_LOG(ERR_LOG_GRADE, "index %d is in use, restoring id=%s finger=%s at %d\n", index, entry->user_id,
                entry->fprint_name, target);
        if (target == 0) {
            TVP_LOG(ERR_LOG_GRADE, "tvp_get_empty_fprint_info failed!!!\n");
            return -1;
        }
    }
    fprint_info restored = *entry;
    restored.enable = 1;
    return set_locked(dev, target, restored);
}

int tvp_rename_fprint_info(tvp_dev *dev, const char *user_id, const char *fprint_name, const char *new_name)
{
    if (user_id == nullptr || fprint_name == nullptr || new_name == nullptr) {
        TVP_LOG(ERR_LOG_GRADE, "the param is error!!!\n");
        return -2;
    }
    TVP_LOG(DBG_LOG_GRADE, "start.\n");
    std::lock_guard<std::mutex> lock(list_mutex);
    const int index = find_locked(dev, user_id, fprint_name);
    if (index == 0) {
        return -2;
    }
    if (new_name[0] == '\0') {
        return 0;
    }
    fprint_info renamed = *entry_at(dev, index);
    copy_text_field(renamed.fprint_name, new_name);
    return set_locked(dev, index, renamed);
}

int tvp_drop_fprint_info_byfprintid(tvp_dev *dev, uint16_t fprintid, std::vector<fprint_info> *dropped)
{
    std::lock_guard<std::mutex> lock(list_mutex);
    std::vector<IndexedEntry> changes;
    for (int i = 1; i <= TVP_FPRINT_LIST_SIZE; ++i) {
        const fprint_info &entry = *entry_at(dev, i);
        if (entry.enable == 1 && entry.fprint_id == fprintid) {
            fprint_info deleted = entry;
            deleted.enable = 0;
            changes.emplace_back(i, deleted);
        }
    }
    if (changes.empty()) {
        return 0;
    }
    if (save_entries_locked(dev, changes) != 0) {
        return -1;
    }
    if (dropped != nullptr) {
        for (const auto &[index, e] : changes) {
            dropped->push_back(e);
        }
    }
    return static_cast<int>(changes.size());
}
