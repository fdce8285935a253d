#include "app/twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <cmath>

Twips::Twips(const QWidget *widget)
{
    const QScreen *screen = widget ? widget->screen() : QGuiApplication::primaryScreen();
    if (screen && screen->logicalDotsPerInch() > 0)
        m_dpi = screen->logicalDotsPerInch();
}

int Twips::toPixels(int twips) const
{
    return int(std::lround(twips * m_dpi / 1440.0));
}

int Twips::toTwips(int pixels) const
{
    return int(std::lround(pixels * 1440.0 / m_dpi));
}

QRect Twips::toPixels(int left, int top, int width, int height) const
{
    return QRect(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

void Twips::place(QWidget *widget, int left, int top, int width, int height) const
{
    widget->setGeometry(toPixels(left, top, width, height));
}
