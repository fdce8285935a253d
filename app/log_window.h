#pragma once

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class RelayCore;

// "Log": the event log's last 10,000 lines, with the byte counters in its
// header (refreshed at most twice a second while it is shown), a Clear
// button and "Save as…". It keeps lines from the start, shown or not.
class LogWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int KeptLines = 10000;

    explicit LogWindow(const RelayCore &core, QWidget *parent = nullptr);

    // Adds one line at the end (the oldest goes past KeptLines).
    void appendLine(const QString &line);
    // Writes the lines shown to `path`; false when it cannot.
    [[nodiscard]] bool saveTo(const QString &path) const;

    QLabel *counters = nullptr;
    QPlainTextEdit *lines = nullptr;
    QPushButton *clear = nullptr;
    QPushButton *saveAs = nullptr;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void refreshCounters();

    const RelayCore &m_core;
    QTimer *m_refresh = nullptr;
};
