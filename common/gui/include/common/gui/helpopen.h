// The "?" buttons of the master and the client agent: the user guide opened with the desktop's
// viewer, and said plainly when there is none.
#pragma once

#include <QString>

class QWidget;

/// Opens `guide` (the programs pass HelpFilePath()) with the desktop's opener, which finds its
/// registered viewer. Returns at once. When there is no opener, the guide is missing, or the
/// opener ends saying it has no viewer for it, that is written on standard error and shown in
/// an error box over `parent`, naming the guide's path.
void OpenHelpGuide(QWidget *parent, const QString &guide);

/// The sentence that says the guide cannot be shown, for the box and standard error.
QString NoHelpViewerText(const QString &guide, bool guideMissing);
