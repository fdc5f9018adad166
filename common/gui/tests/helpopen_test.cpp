#include <common/gui/helpopen.h>

#include <noticekit/noticekit.h>
#include <testsupport/screenshots.h>
#include <testsupport/tempdir.h>

#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// What the box that the help opener showed said, answered by a timer once it was up.
struct SeenBox {
    int shown = 0;
    QString text;
    QString shot;
};

void AnswerBoxes(SeenBox &seen, const QString &shotName)
{
    noticekit::setShowHook([&seen, shotName](QDialog *box) {
        ++seen.shown;
        for (const QLabel *label : box->findChildren<QLabel *>())
            seen.text += label->text();
        seen.shot = testsupport::saveScreenshot(box, shotName);
        QTimer::singleShot(0, box, [box] {
            if (auto *ok = box->findChild<QPushButton *>())
                ok->click();
            else
                box->close();
        });
    });
}

void WriteFile(const fs::path &path, const std::string &text, fs::perms perms)
{
    std::ofstream(path) << text;
    fs::permissions(path, perms);
}

class PathVar {
public:
    explicit PathVar(const std::string &value) : old_(std::getenv("PATH") ? std::getenv("PATH") : "")
    {
        setenv("PATH", value.c_str(), 1);
    }
    ~PathVar() { setenv("PATH", old_.c_str(), 1); }

private:
    std::string old_;
};

} // namespace

TEST(HelpGuide, WithoutAViewerTheUserIsToldWhereTheGuideIs)
{
    testsupport::TempDir dir{"korvel-help"};
    const fs::path guide = dir.path() / "Doc" / "fenwa2doc.chm";
    fs::create_directories(guide.parent_path());
    WriteFile(guide, "ITSF", fs::perms::owner_read | fs::perms::owner_write);
    const fs::path mark = dir.path() / "opened";

    struct Case {
        const char *what;
        const char *opener; // the stand-in opener's exit status, null: no opener on the path
        bool guideThere;
        bool box;
        const char *said;
    };
    const Case cases[] = {
        {"no opener at all", nullptr, true, true, "No help viewer is installed"},
        {"the opener finds no viewer", "3", true, true, "No help viewer is installed"},
        {"the viewer it found fails", "4", true, true, "No help viewer is installed"},
        {"a viewer shows it", "0", true, false, nullptr},
        {"no guide", nullptr, false, true, "The user guide is not installed"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path bin = dir.path() / ("bin" + std::to_string(++n));
        fs::create_directories(bin);
        if (c.opener)
            WriteFile(bin / "xdg-open",
                      "#!/bin/sh\necho \"$1\" > '" + mark.string() + "'\nexit " + std::string(c.opener) +
                          "\n",
                      fs::perms::owner_all);
        fs::remove(mark);
        const QString path = QString::fromStdString(
            c.guideThere ? guide.string() : (dir.path() / "Doc" / "missing.chm").string());
        PathVar onlyBin(bin.string());
        SeenBox seen;
        AnswerBoxes(seen, QStringLiteral("help-no-viewer-%1").arg(n));
        QWidget window;
        window.resize(340, 240);

        ::testing::internal::CaptureStderr();
        OpenHelpGuide(&window, path);
        // Done when the opener, if one was started, has ended and been let go.
        EXPECT_TRUE(QTest::qWaitFor([&] { return window.findChildren<QProcess *>().isEmpty(); }, 20000));
        const std::string err = ::testing::internal::GetCapturedStderr();
        noticekit::setShowHook({});

        if (c.opener) {
            std::string asked;
            std::getline(std::ifstream(mark), asked);
            EXPECT_EQ(asked, path.toStdString()) << "the opener is asked for the guide";
        }
        EXPECT_EQ(seen.shown, c.box ? 1 : 0);
        if (!c.box) {
            EXPECT_EQ(err, "");
            continue;
        }
        EXPECT_TRUE(seen.text.contains(QString::fromLatin1(c.said))) << seen.text.toStdString();
        EXPECT_TRUE(seen.text.contains(path)) << "the box names the guide: " << seen.text.toStdString();
        EXPECT_FALSE(seen.shot.isEmpty());
        // The offscreen platform adds notes of its own after the line.
        EXPECT_EQ(err.substr(0, err.find('\n') + 1),
                  "korvel: " + NoHelpViewerText(path, !c.guideThere).toStdString() + "\n");
        EXPECT_NE(err.find(c.said), std::string::npos);
    }
}
