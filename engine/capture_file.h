#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <span>

// A capture of the relayed chunks, readable with `less`: per chunk one
// record, its timestamp, source -> destinations and length, then a hex and
// ASCII dump in 16-byte rows. Stops by itself at a size limit.
class CaptureFile
{
public:
    static constexpr qint64 DefaultLimit = 100LL * 1024 * 1024;

    // Starts a capture into `path` (replacing the file). False, with
    // `error` set, when it cannot be written.
    [[nodiscard]] bool open(const QString &path, qint64 limit, QString *error);
    // Appends the record of `chunk`, relayed from route node `source` to
    // `destinations`. False when the capture stopped: the limit was reached
    // (the record that would pass it is not written) or writing failed;
    // `why` then says which.
    [[nodiscard]] bool record(int source, std::span<const int> destinations,
                              const QByteArray &chunk, QString *why);
    void close() { m_file.close(); }
    [[nodiscard]] bool isOpen() const { return m_file.isOpen(); }
    [[nodiscard]] QString path() const { return m_file.fileName(); }

    // The dump of `bytes` as the records show it (16-byte rows).
    [[nodiscard]] static QByteArray dump(const QByteArray &bytes);

private:
    QFile m_file;
    qint64 m_limit = DefaultLimit;
};
