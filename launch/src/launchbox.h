// How the launcher tells its user why it started nothing: a box with the error icon where a
// desktop can show one, and always a line on standard error for a start without one.
#pragma once

#include <QString>

class QMessageBox;

/// Whether a box shown now would reach a user: a display is named and the platform is not
/// one that draws nowhere (offscreen, minimal). A box that nobody can see would wait forever.
bool CanShowBox();

/// The launcher's error box: the error icon, an empty caption, text and an OK button, made
/// but not shown.
QMessageBox *MakeErrorBox(const QString &text, const QString &caption = QString());

/// Writes "launch: text" on standard error and, where CanShowBox, shows the error box
/// modally, creating the widget layer first when the program has none yet.
void ReportLaunchError(const QString &text, const QString &caption = QString());
