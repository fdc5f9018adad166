#pragma once
// The windows keep their widgets to themselves; tests reach them by the object names the forms
// give them, as a user of the form would see them.

#include <QString>
#include <QWidget>

#include <stdexcept>
#include <string>

/// The widget of type T named name on owner's own window (not on a dialog the window owns,
/// whose widgets may carry the same names); throws, failing the test, when there is none.
template <typename T, typename Owner> T *ChildWidget(const Owner &owner, const char *name)
{
    if (owner) {
        for (T *child : owner->template findChildren<T *>(QString::fromLatin1(name))) {
            if (child->window() == owner->window())
                return child;
        }
    }
    throw std::runtime_error(std::string("no widget named ") + name);
}
