// The launcher's error report: when a box would reach a user, and what the box shows.

#include "launchbox.h"

#include <testsupport/screenshots.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Sets or clears an environment variable for one scope.
class EnvVar {
public:
    EnvVar(const char *name, const char *value) : FName(name)
    {
        if (const char *old = std::getenv(name))
            FOld = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar()
    {
        if (FOld)
            setenv(FName, FOld->c_str(), 1);
        else
            unsetenv(FName);
    }

private:
    const char *FName;
    std::optional<std::string> FOld;
};

struct SeenBox {
    bool shown = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title, text, shot;
    QStringList buttons;
};

// Answers the next modal box with a click on its OK button, after noting what it shows.
void AnswerNextBox(SeenBox &seen, const QString &shotName)
{
    auto *timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, &seen, shotName] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        seen.shown = true;
        seen.icon = box->icon();
        seen.title = box->windowTitle();
        seen.text = box->text();
        for (QAbstractButton *b : box->buttons())
            seen.buttons << b->text().remove(QLatin1Char('&'));
        seen.shot = testsupport::saveScreenshot(box, shotName);
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            QTest::mouseClick(ok, Qt::LeftButton);
    });
    timer->start();
}

} // namespace

TEST(LaunchBox, ShownOnlyWhereAUserCanSeeIt)
{
    struct Case {
        const char *platform, *display, *wayland;
        bool expected;
    };
    const Case cases[] = {
        {nullptr, ":0", nullptr, true},
        {nullptr, nullptr, "wayland-0", true},
        {"xcb", ":0", nullptr, true},
        {nullptr, nullptr, nullptr, false},
        {"", "", "", false},
        {"offscreen", ":0", nullptr, false},
        {"minimal", ":0", "wayland-0", false},
        {"OFFSCREEN", ":0", nullptr, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("platform ") + (c.platform ? c.platform : "-") + ", DISPLAY " +
                     (c.display ? c.display : "-") + ", WAYLAND_DISPLAY " + (c.wayland ? c.wayland : "-"));
        EnvVar p("QT_QPA_PLATFORM", c.platform), d("DISPLAY", c.display), w("WAYLAND_DISPLAY", c.wayland);
        EXPECT_EQ(CanShowBox(), c.expected);
    }
}

TEST(LaunchBox, ErrorTextInABoxWithTheErrorIconAndOnStandardError)
{
    // This process draws offscreen; the report is told a desktop is there.
    EnvVar p("QT_QPA_PLATFORM", nullptr), d("DISPLAY", ":0");
    for (const QString &text :
         {QStringLiteral("Korvel is already running."), QStringLiteral("OS reports Korvel launch error.")}) {
        SCOPED_TRACE(text.toStdString());
        SeenBox seen;
        AnswerNextBox(seen, QStringLiteral("launch-error-") + QString::number(text.size()));
        ::testing::internal::CaptureStderr();
        ReportLaunchError(text);
        // The offscreen platform adds notes of its own after the report.
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.substr(0, err.find('\n') + 1), "launch: " + text.toStdString() + "\n");
        ASSERT_TRUE(seen.shown);
        EXPECT_EQ(seen.icon, QMessageBox::Critical);
        EXPECT_EQ(seen.title, QString());
        EXPECT_EQ(seen.text, text);
        EXPECT_EQ(seen.buttons, QStringList{QStringLiteral("OK")});
        EXPECT_FALSE(seen.shot.isEmpty());
    }
}
