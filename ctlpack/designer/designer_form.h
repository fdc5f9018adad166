// The form that goes through the designer, uic and the compiler to show that the package's
// controls keep what the designer sets: each control with every property it publishes set away
// from its default. Shared by the tool that saves the form and the test that builds it.
#pragma once

#include <QColor>
#include <QList>
#include <QVariant>

namespace designerform {

struct Control {
    const char *className;
    const char *objectName;
};

inline constexpr Control Controls[] = {
    {"TSEdit", "p_edText"},
    {"TMSpinEdit", "p_edSpin"},
    {"TMemImage", "p_imgMem"},
};

struct Published {
    const char *objectName;
    const char *property;
    QVariant value;
};

// In the order a user would set them; Value lies above the spin box's default maximum, so it
// survives only when MaxValue is applied first.
inline QList<Published> Values()
{
    return {
        {"p_edText", "EditKind", 4}, // ekUFloat
        {"p_edText", "Escape", false},
        {"p_edText", "DecimalPoint", false},
        {"p_edSpin", "EditorInc", true},
        {"p_edSpin", "EditorEnabled", false},
        {"p_edSpin", "MinValue", 10},
        {"p_edSpin", "MaxValue", 500},
        {"p_edSpin", "Increment", 5},
        {"p_edSpin", "Value", 250},
        {"p_imgMem", "RubberBand", true},
        {"p_imgMem", "RBMoveColor", QColor(200, 30, 40)},
        {"p_imgMem", "RBDrawColor", QColor(10, 114, 156)},
        {"p_imgMem", "RBWidth", 3},
    };
}

} // namespace designerform
