#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// What one control of the window shows, kept by the relay so that it runs
// with or without a window: text, colours (0x00BBGGRR), enabled, visible,
// and for the two lists their rows and selected row. The window mirrors
// every change onto its widget and writes what the operator types back.
class Control : public QObject
{
    Q_OBJECT

public:
    explicit Control(QObject *parent = nullptr) : QObject(parent) {}

    [[nodiscard]] const QString &text() const { return m_text; }
    void setText(const QString &text);

    // Colours count once set; until then the window keeps its own.
    [[nodiscard]] quint32 backColor() const { return m_backColor; }
    void setBackColor(quint32 bgr);
    [[nodiscard]] quint32 foreColor() const { return m_foreColor; }
    void setForeColor(quint32 bgr);
    [[nodiscard]] bool hasBackColor() const { return m_hasBackColor; }
    [[nodiscard]] bool hasForeColor() const { return m_hasForeColor; }

    [[nodiscard]] bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    [[nodiscard]] bool isVisible() const { return m_visible; }
    void setVisible(bool visible);

    // List rows; the selected row is -1 when none is.
    [[nodiscard]] const QStringList &rows() const { return m_rows; }
    void clear();
    void addItem(const QString &row);
    [[nodiscard]] int currentRow() const { return m_currentRow; }
    void setCurrentRow(int row);

signals:
    // Anything above changed.
    void changed();

private:
    QString m_text;
    quint32 m_backColor = 0xFFFFFF;
    quint32 m_foreColor = 0x000000;
    bool m_hasBackColor = false;
    bool m_hasForeColor = false;
    bool m_enabled = true;
    bool m_visible = true;
    QStringList m_rows;
    int m_currentRow = -1;
};
