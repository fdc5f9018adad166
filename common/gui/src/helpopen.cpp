#include <common/gui/helpopen.h>

#include <noticekit/noticekit.h>

#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QWidget>

#include <cstdio>

namespace {

// The desktop's opener; it ends with 3 when it found no program for the document and with 4
// when the program it found failed, 2 when the document is not there.
const QString Opener = QStringLiteral("xdg-open");

void SayNoViewer(QWidget *parent, const QString &guide, bool guideMissing)
{
    const QString text = NoHelpViewerText(guide, guideMissing);
    std::fprintf(stderr, "korvel: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    MesBoxC(mkError, parent, text.toStdU16String(), u"", W_Centre, W_Centre);
}

} // namespace

QString NoHelpViewerText(const QString &guide, bool guideMissing)
{
    if (guideMissing)
        return QStringLiteral("The user guide is not installed: %1 is missing.").arg(guide);
    return QStringLiteral("No help viewer is installed that can show the user guide %1. "
                          "Install a viewer of compiled help files (such as xchm) to read it.")
        .arg(guide);
}

void OpenHelpGuide(QWidget *parent, const QString &guide)
{
    if (!QFileInfo(guide).isFile()) {
        SayNoViewer(parent, guide, true);
        return;
    }
    const QString opener = QStandardPaths::findExecutable(Opener);
    if (opener.isEmpty()) {
        SayNoViewer(parent, guide, false);
        return;
    }
    // The opener may stay until the viewer it starts ends; it is watched, not waited for.
    auto *process = new QProcess(parent);
    process->setProgram(opener);
    process->setArguments({guide});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QPointer<QWidget> owner(parent);
    QObject::connect(process, &QProcess::finished, process,
                     [process, owner, guide](int code, QProcess::ExitStatus status) {
                         process->deleteLater();
                         if (status == QProcess::NormalExit && code != 0)
                             SayNoViewer(owner, guide, code == 2);
                     });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, owner, guide](QProcess::ProcessError e) {
                         if (e != QProcess::FailedToStart)
                             return;
                         process->deleteLater();
                         SayNoViewer(owner, guide, false);
                     });
    process->start();
}
