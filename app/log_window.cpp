#include "app/log_window.h"

#include "relay/relay_core.h"

#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

LogWindow::LogWindow(const RelayCore &core, QWidget *parent)
    : QWidget(parent, Qt::Window), m_core(core), m_refresh(new QTimer(this))
{
    setWindowTitle(QStringLiteral("Quaylight Log"));
    auto *layout = new QVBoxLayout(this);
    counters = new QLabel(this);
    counters->setWordWrap(true);
    counters->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(counters);
    lines = new QPlainTextEdit(this);
    lines->setReadOnly(true);
    lines->setMaximumBlockCount(KeptLines);
    lines->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(lines);
    auto *buttons = new QHBoxLayout;
    clear = new QPushButton(QStringLiteral("Clear"), this);
    saveAs = new QPushButton(QStringLiteral("Save as\u2026"), this);
    buttons->addStretch();
    buttons->addWidget(clear);
    buttons->addWidget(saveAs);
    layout->addLayout(buttons);
    resize(720, 420);

    connect(clear, &QPushButton::clicked, lines, &QPlainTextEdit::clear);
    connect(saveAs, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the log"),
                                                          QStringLiteral("quaylight.log"));
        if (!path.isEmpty() && !saveTo(path))
            QMessageBox::warning(this, QStringLiteral("Quaylight"),
                                 QStringLiteral("The log could not be saved to %1.").arg(path));
    });
    m_refresh->setInterval(500); // at most twice a second
    connect(m_refresh, &QTimer::timeout, this, &LogWindow::refreshCounters);
}

void LogWindow::appendLine(const QString &line)
{
    lines->appendPlainText(line);
}

bool LogWindow::saveTo(const QString &path) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray text = (lines->toPlainText() + QLatin1Char('\n')).toUtf8();
    return file.write(text) == text.size();
}

void LogWindow::refreshCounters()
{
    const Engine::Snapshot snapshot = m_core.engine().snapshot();
    QString text = snapshot.counters.describe();
    // A listener that goes on listening lists its peers one per line.
    for (const EndpointRow &row : EndpointRows) {
        const Engine::EndpointState &state = snapshot.endpoints[std::size_t(row.index)];
        if (state.peers.isEmpty())
            continue;
        text += QStringLiteral("\n%1: %2 %3").arg(QLatin1String(row.name)).arg(state.peerCount)
                    .arg(state.peerCount == 1 ? QStringLiteral("peer") : QStringLiteral("peers"));
        for (const Engine::PeerState &peer : state.peers)
            text += QStringLiteral("\n  %1:%2  %3 bytes in, %4 out%5")
                        .arg(peer.address)
                        .arg(peer.port)
                        .arg(peer.received)
                        .arg(peer.sent)
                        .arg(peer.state == 7 ? QString() : QStringLiteral(" (closed)"));
    }
    counters->setText(text);
}

void LogWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refreshCounters();
    m_refresh->start();
}

void LogWindow::hideEvent(QHideEvent *event)
{
    m_refresh->stop();
    QWidget::hideEvent(event);
}
