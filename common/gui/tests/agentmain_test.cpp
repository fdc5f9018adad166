#include <common/gui/agentmain.h>

#include <QByteArray>

#include <gtest/gtest.h>

#include <optional>

namespace {

// Sets or clears one variable for as long as it lives, putting back what was there.
class EnvVar {
public:
    EnvVar(const char *name, const std::optional<QByteArray> &value) : FName(name)
    {
        if (qEnvironmentVariableIsSet(name))
            FSaved = qgetenv(name);
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
    ~EnvVar()
    {
        if (FSaved)
            qputenv(FName, *FSaved);
        else
            qunsetenv(FName);
    }
    EnvVar(const EnvVar &) = delete;
    EnvVar &operator=(const EnvVar &) = delete;

private:
    const char *FName;
    std::optional<QByteArray> FSaved;
};

} // namespace

TEST(AgentOptions, TheEnvironmentSetsTheBoxTimeTheScreenshotFileAndThePaintProbe)
{
    struct Case {
        std::optional<QByteArray> seconds;
        std::optional<QByteArray> shot;
        int wantSeconds;
        QString wantShot;
        std::optional<QByteArray> probe = std::nullopt;
        bool wantProbe = false;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, 25, QString()},
        {QByteArray("1"), QByteArray("/tmp/m.png"), 1, QStringLiteral("/tmp/m.png")},
        {QByteArray("0"), QByteArray(), 0, QString()},    // zero: the box waits for the user
        {QByteArray("abc"), std::nullopt, 25, QString()}, // not a number: the default stays
        {QByteArray(""), std::nullopt, 25, QString()},
        {QByteArray("-3"), std::nullopt, -3, QString()},
        {std::nullopt, std::nullopt, 25, QString(), QByteArray("1"), true},
        {std::nullopt, std::nullopt, 25, QString(), QByteArray(), true}, // set, even empty
    };
    for (const Case &c : cases) {
        const EnvVar seconds("KORVEL_AUTOBOX_SECONDS", c.seconds);
        const EnvVar shot("KORVEL_SCREENSHOT", c.shot);
        const EnvVar probe("KORVEL_PAINT_PROBE", c.probe);
        const TAgentOptions options = AgentOptionsFromEnvironment();
        EXPECT_EQ(options.paintProbe, c.wantProbe) << c.probe.value_or("(unset)").constData();
        EXPECT_EQ(options.autoBoxSeconds, c.wantSeconds) << c.seconds.value_or("(unset)").constData();
        EXPECT_EQ(options.screenshotFile, c.wantShot) << c.shot.value_or("(unset)").constData();
    }
}
