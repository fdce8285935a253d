#include "app/ui_colour.h"

#include <QPalette>
#include <QWidget>

namespace UiColour {

QColor toQColor(quint32 bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

quint32 fromQColor(const QColor &colour)
{
    return quint32(colour.red()) | (quint32(colour.green()) << 8) | (quint32(colour.blue()) << 16);
}

namespace {
void setRole(QWidget *field, QPalette::ColorRole role, quint32 bgr)
{
    QPalette palette = field->palette();
    const QColor colour = toQColor(bgr);
    // All groups, so a field keeps its colours when the window loses focus.
    palette.setColor(QPalette::Active, role, colour);
    palette.setColor(QPalette::Inactive, role, colour);
    palette.setColor(QPalette::Disabled, role, colour);
    field->setPalette(palette);
}
} // namespace

void setBackColor(QWidget *field, quint32 bgr)
{
    setRole(field, QPalette::Base, bgr);
}

quint32 backColor(const QWidget *field)
{
    return fromQColor(field->palette().color(QPalette::Active, QPalette::Base));
}

void setForeColor(QWidget *field, quint32 bgr)
{
    setRole(field, QPalette::Text, bgr);
}

quint32 foreColor(const QWidget *field)
{
    return fromQColor(field->palette().color(QPalette::Active, QPalette::Text));
}

} // namespace UiColour
