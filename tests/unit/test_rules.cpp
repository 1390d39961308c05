// The authorisation gate has a rule for every method the bus interface offers:
// a method added to the interface without one would be refused to every caller,
// so this walks the generated interface description, not a copy of its names.
// The polkit actions the gate asks for are the ones the policy file declares.
#include "tirvane-generated.h"
#include "tirvane-server-auth.h"
#include "tirvane-server-bus.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

TEST(AccessRules, EveryMethodOfTheInterfaceHasARule)
{
    GDBusInterfaceInfo *info = tirvane_interface_info();
    ASSERT_NE(info, nullptr);
    ASSERT_NE(info->methods, nullptr);
    std::set<std::string> names;
    for (GDBusMethodInfo **method = info->methods; *method != nullptr; ++method) {
        names.insert((*method)->name);
        EXPECT_TRUE(tvp_method_has_rule((*method)->name)) << (*method)->name << " has no access rule";
    }
    EXPECT_EQ(names.size(), 18u);
}

TEST(AccessRules, NamesOutsideTheInterfaceHaveNone)
{
    for (const char *name : {"", "noSuchMethod", "Enroll", "verifystop", "listfingers2"}) {
        EXPECT_FALSE(tvp_method_has_rule(name)) << name;
    }
}

namespace
{

struct Defaults {
    std::string any, inactive, active;
    bool operator==(const Defaults &) const = default;
};

// The actions of the policy file with their defaults, read with GMarkup.
struct PolicyReader {
    std::map<std::string, Defaults> actions;
    std::string action;  // the <action> being read
    std::string element; // the innermost element
};

void policy_start(GMarkupParseContext *, const gchar *name, const gchar **attr_names,
                  const gchar **attr_values, gpointer data, GError **)
{
    auto *reader = static_cast<PolicyReader *>(data);
    reader->element = name;
    if (strcmp(name, "action") == 0) {
        for (size_t i = 0; attr_names[i] != nullptr; ++i) {
            if (strcmp(attr_names[i], "id") == 0) {
                reader->action = attr_values[i];
                reader->actions[reader->action];
            }
        }
    }
}

void policy_end(GMarkupParseContext *, const gchar *name, gpointer data, GError **)
{
    auto *reader = static_cast<PolicyReader *>(data);
    if (strcmp(name, "action") == 0) {
        reader->action.clear();
    }
    reader->element.clear();
}

void policy_text(GMarkupParseContext *, const gchar *text, gsize length, gpointer data, GError **)
{
    auto *reader = static_cast<PolicyReader *>(data);
    if (reader->action.empty()) {
        return;
    }
    Defaults &defaults = reader->actions[reader->action];
    const std::string value(text, length);
    if (reader->element == "allow_any") {
        defaults.any = value;
    } else if (reader->element == "allow_inactive") {
        defaults.inactive = value;
    } else if (reader->element == "allow_active") {
        defaults.active = value;
    }
}

} // namespace

TEST(AccessRules, EveryActionTheGateAsksForIsDeclaredWithItsDefaults)
{
    g_autofree gchar *text = nullptr;
    gsize length = 0;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(g_file_get_contents(TIRVANE_POLKIT_POLICY_PATH, &text, &length, &error)) << error->message;
    const GMarkupParser parser = {policy_start, policy_end, policy_text, nullptr, nullptr};
    PolicyReader reader;
    g_autoptr(GMarkupParseContext) context =
        g_markup_parse_context_new(&parser, G_MARKUP_IGNORE_QUALIFIED, &reader, nullptr);
    ASSERT_TRUE(g_markup_parse_context_parse(context, text, static_cast<gssize>(length), &error) &&
                g_markup_parse_context_end_parse(context, &error))
        << error->message;
    const std::map<std::string, Defaults> expected = {
        {"nuvex.kal.tirvane.verify", {"no", "no", "yes"}},
        {"nuvex.kal.tirvane.enroll", {"no", "no", "auth_self_keep"}},
        {"nuvex.kal.tirvane.manage", {"no", "no", "auth_admin_keep"}},
    };
    EXPECT_EQ(reader.actions, expected);

    const std::set<std::string> open = {"openDevice", "releaseDevice", "getDeviceCount", "getDeviceName"};
    GDBusInterfaceInfo *info = tirvane_interface_info();
    for (GDBusMethodInfo **method = info->methods; *method != nullptr; ++method) {
        const char *name = (*method)->name;
        EXPECT_EQ(tvp_method_open_to_all(name), open.count(name) == 1) << name;
        for (bool other_user : {false, true}) {
            const char *action = tvp_method_polkit_action(name, other_user);
            if (open.count(name) == 1) {
                EXPECT_EQ(action, nullptr) << name << " asks no one";
            } else {
                ASSERT_NE(action, nullptr) << name;
                EXPECT_EQ(expected.count(action), 1u) << name << " asks for " << action;
            }
        }
    }
}
