#pragma once

#include <QColor>
#include <QList>
#include <QPalette>

#include <utility>

// A dark colour scheme as a theme writes it: every colour of its own, the grey placeholder text
// included unless leftOut (then Qt's default, half-transparent black, stays).
inline QPalette darkScheme(bool placeholderLeftOut = false)
{
    QPalette p(QColor("#353535"));
    const QList<std::pair<QPalette::ColorRole, const char *>> colours{
        {QPalette::Window, "#353535"},     {QPalette::WindowText, "#f0f0f0"},
        {QPalette::Base, "#2a2a2a"},       {QPalette::AlternateBase, "#424242"},
        {QPalette::Text, "#f0f0f0"},       {QPalette::Button, "#353535"},
        {QPalette::ButtonText, "#f0f0f0"}, {QPalette::Light, "#474747"},
        {QPalette::Midlight, "#3e3e3e"},   {QPalette::Mid, "#2c2c2c"},
        {QPalette::Dark, "#232323"},       {QPalette::Shadow, "#141414"},
        {QPalette::Highlight, "#2a82da"},  {QPalette::HighlightedText, "#ffffff"},
        {QPalette::BrightText, "#ff4444"}, {QPalette::PlaceholderText, "#9a9a9a"}};
    for (const auto &[role, colour] : colours) {
        if (role == QPalette::PlaceholderText && placeholderLeftOut)
            p.setColor(role, QColor(0, 0, 0, 128));
        else
            p.setColor(role, QColor(colour));
    }
    return p;
}
