#include <cstdlib>
#include <string>

#include "settings/settings_paths.h"
#include "settings_fixture.h"

namespace {

// Sets one variable for the test's length, or unsets it for nullptr.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old, had_ = true;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedVariable() { had_ ? ::setenv(name_, saved_.c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::string saved_;
    bool had_ = false;
};

}  // namespace

// Settings, firmware images and kept board data all find their folder here.
TEST_F(SettingsTest, EachXdgBaseFolderTakesAnAbsoluteVariableElseItsHomeDefault) {
    struct Case {
        XdgBase base;
        const char* variable;
        const char* underHome;
    };
    const Case cases[] = {
        {XdgBase::Config, "XDG_CONFIG_HOME", "/.config"},
        {XdgBase::Data, "XDG_DATA_HOME", "/.local/share"},
        {XdgBase::State, "XDG_STATE_HOME", "/.local/state"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variable);
        const std::string set = root + "/base//";
        {
            ScopedVariable v(c.variable, set.c_str());
            EXPECT_EQ(xdgBaseFolder(c.base), root + "/base");
            EXPECT_EQ(appFolder(c.base), root + "/base/Wren Capture/");
        }
        for (const char* ignored : {"relative/ignored", "", static_cast<const char*>(nullptr)}) {
            ScopedVariable v(c.variable, ignored);
            EXPECT_EQ(appFolder(c.base), home + c.underHome + "/Wren Capture/");
        }
    }
}
