#pragma once

#include <QRect>

class QWidget;

// Window geometry is written in twips (1/1440 inch); widgets want pixels.
// The scale follows the screen's logical DPI: 15 twips a pixel at 96 dpi.
class Twips
{
public:
    // Scale of the screen `widget` is on (the primary screen when none).
    explicit Twips(const QWidget *widget = nullptr);
    explicit Twips(double logicalDpi) : m_dpi(logicalDpi) {}

    [[nodiscard]] int toPixels(int twips) const;
    [[nodiscard]] int toTwips(int pixels) const;
    [[nodiscard]] QRect toPixels(int left, int top, int width, int height) const;

    // Places `widget` at a twips rectangle relative to its parent.
    void place(QWidget *widget, int left, int top, int width, int height) const;

private:
    double m_dpi = 96.0;
};
