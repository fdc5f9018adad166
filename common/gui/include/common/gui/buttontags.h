#pragma once
// The "Tag" each window's buttons carry: the buttons of one window share one click handler,
// which switches on the clicked button's tag. The numbers are the forms' own and differ from
// window to window, so each window has its own set.

#include <QObject>
#include <QVariant>

/// The client agent's window.
enum class TClnMainTag : int { None = 0, Configure = 2, Exit = 3, Help = 4, About = 5 };
/// The client agent's settings dialog.
enum class TClnSetTag : int { None = 0, Browse = 1, TestConnection = 2, Ok = 3, NextAddress = 4 };
/// The master's window.
enum class TMstMainTag : int { None = 0, Exit = 1, Help = 2, About = 3, Log = 4 };

/// A tag as the "Tag" property holds it.
template <typename Tag> constexpr int TagValue(Tag tag)
{
    return static_cast<int>(tag);
}

/// The tag of a clicked button; Tag::None for no button or a button without one.
template <typename Tag> Tag TagOf(const QObject *button)
{
    return static_cast<Tag>(button ? button->property("Tag").toInt() : 0);
}
