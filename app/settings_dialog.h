#pragma once

#include "relay/line_settings.h"

#include <QDialog>

class QCheckBox;
class QComboBox;

// "Settings…": the serial line (speed, framing, flow control, DTR and RTS at
// open) and whether the session is restored at start. Shows the values it is
// given; the caller takes the new ones when it is accepted.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    SettingsDialog(const LineSettings &line, bool restoreSession, QWidget *parent = nullptr);

    // What the dialog shows now. The baud rate is whatever positive number
    // was typed or chosen.
    [[nodiscard]] LineSettings lineSettings() const;
    [[nodiscard]] bool restoreSession() const;

    QComboBox *baudRate = nullptr;
    QComboBox *dataBits = nullptr;
    QComboBox *parity = nullptr;
    QComboBox *stopBits = nullptr;
    QComboBox *flowControl = nullptr;
    QCheckBox *dtr = nullptr;
    QCheckBox *rts = nullptr;
    QCheckBox *restore = nullptr;
};
