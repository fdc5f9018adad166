// Answers the library's modal boxes in tests: records what each box showed, then runs the
// test's action on it (clicks, keys, closing), and records the beeps.
#pragma once

#include <noticekit/noticekit.h>
#include <testsupport/screenshots.h>

#include <QCheckBox>
#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <functional>
#include <vector>

struct SeenBox {
    QString title;
    QStringList buttons;  // visible buttons left to right, "name=text"
    QStringList pictures; // visible pictures
    QRect frame;
    QSize client;
    QString message;
    Qt::CursorShape cursor = Qt::ArrowCursor;
    bool hasOverrideCursor = false;
    bool checkShown = false;
    bool checked = false;
    QString className;
};

class BoxDriver {
public:
    using Action = std::function<void(QDialog *)>;

    explicit BoxDriver(Action action = {}, QString screenshot = {})
        : FAction(std::move(action)), FScreenshot(std::move(screenshot))
    {
        noticekit::setShowHook([this](QDialog *box) { onShown(box); });
        noticekit::setBeepHook([this](unsigned type) {
            beeps.push_back(type);
            return std::find(failing.begin(), failing.end(), type) == failing.end();
        });
    }
    ~BoxDriver()
    {
        noticekit::setShowHook({});
        noticekit::setBeepHook({});
    }
    BoxDriver(const BoxDriver &) = delete;
    BoxDriver &operator=(const BoxDriver &) = delete;

    std::vector<SeenBox> seen;
    std::vector<unsigned> beeps;
    std::vector<unsigned> failing; // sound types whose beep reports failure

private:
    void onShown(QDialog *box)
    {
        SeenBox s;
        s.className = QString::fromLatin1(box->metaObject()->className());
        s.title = box->windowTitle();
        s.frame = box->frameGeometry();
        s.client = box->size();
        std::vector<QPushButton *> buttons;
        for (QPushButton *b : box->findChildren<QPushButton *>())
            if (b->isVisibleTo(box))
                buttons.push_back(b);
        std::sort(buttons.begin(), buttons.end(), [](auto *a, auto *b) { return a->x() < b->x(); });
        for (QPushButton *b : buttons)
            s.buttons << b->objectName() + QLatin1Char('=') + b->text();
        for (QLabel *l : box->findChildren<QLabel *>())
            if (l->objectName().contains(QLatin1String("img")) && l->isVisibleTo(box))
                s.pictures << l->objectName();
        s.pictures.sort();
        for (QLabel *l : box->findChildren<QLabel *>())
            if (l->objectName().contains(QLatin1String("labMes")))
                s.message = l->text();
        if (const QCursor *c = QGuiApplication::overrideCursor()) {
            s.hasOverrideCursor = true;
            s.cursor = c->shape();
        }
        if (auto *cbx = box->findChild<QCheckBox *>(QStringLiteral("p_cbxHide"))) {
            s.checkShown = cbx->isVisibleTo(box);
            s.checked = cbx->isChecked();
        }
        seen.push_back(s);
        if (!FScreenshot.isEmpty())
            testsupport::saveScreenshot(box, FScreenshot);
        if (FAction)
            FAction(box);
    }

    Action FAction;
    QString FScreenshot;
};

inline QPushButton *button(QDialog *box, const char *name)
{
    return box->findChild<QPushButton *>(QString::fromLatin1(name));
}

/// A left click on the named button.
inline BoxDriver::Action click(const char *name)
{
    return [name](QDialog *box) { QTest::mouseClick(button(box, name), Qt::LeftButton); };
}

/// A key pressed on the box, as the focused control receives it.
inline BoxDriver::Action press(Qt::Key key)
{
    return [key](QDialog *box) {
        QWidget *target = box->focusWidget() ? box->focusWidget() : box;
        QTest::keyClick(target, key);
    };
}

/// Closing from the title bar.
inline BoxDriver::Action closeBox()
{
    return [](QDialog *box) { box->close(); };
}
