// The authorisation gate has a rule for every method the bus interface offers:
// a method added to the interface without one would be refused to every caller,
// so this walks the generated interface description, not a copy of its names.
#include "tirvane-generated.h"
#include "tirvane-server-bus.h"

#include <gtest/gtest.h>

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
