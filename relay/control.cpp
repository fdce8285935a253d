#include "relay/control.h"

void Control::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    emit changed();
}

void Control::setBackColor(quint32 bgr)
{
    if (m_hasBackColor && bgr == m_backColor)
        return;
    m_backColor = bgr;
    m_hasBackColor = true;
    emit changed();
}

void Control::setForeColor(quint32 bgr)
{
    if (m_hasForeColor && bgr == m_foreColor)
        return;
    m_foreColor = bgr;
    m_hasForeColor = true;
    emit changed();
}

void Control::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    emit changed();
}

void Control::setVisible(bool visible)
{
    if (visible == m_visible)
        return;
    m_visible = visible;
    emit changed();
}

void Control::clear()
{
    m_rows.clear();
    m_currentRow = -1;
    emit changed();
}

void Control::addItem(const QString &row)
{
    m_rows.append(row);
    emit changed();
}

void Control::setCurrentRow(int row)
{
    const int valid = row >= 0 && row < m_rows.size() ? row : -1;
    if (valid == m_currentRow)
        return;
    m_currentRow = valid;
    emit changed();
}
