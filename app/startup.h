#pragma once

#include "engine/tls_settings.h"

#include <QString>
#include <QStringList>

#include <memory>

class LogTail;

struct CommandLine;
class MetricsServer;
class QCoreApplication;
class RelayCore;

// The folder of the settings files and ports.ini for this run.
[[nodiscard]] QString configDirFor(const CommandLine &options);

// `tls` with the command line's files over it (any of them turns TLS on).
[[nodiscard]] TlsSettings tlsFor(TlsSettings tls, const CommandLine &options);
// Puts --baud, --framing, --flow, --listen-address, --allow and the TLS
// files over the stored settings, for this run only.
void applySettingOptions(RelayCore &core, const CommandLine &options);

// Redoes the session noted at the last exit when "Restore session at start"
// is on: Open, then Listen, then Connect, as the operator's actions would,
// except the steps the command line gives itself. Nobody may be watching: a
// step that fails shows in the caption and the log, never in a box. Exit
// during a step (a signal) leaves the later ones undone and notes nothing.
void restoreSession(RelayCore &core, const CommandLine &options);

// Takes the start steps in order, as the operator would: the settings
// options, the session restore, --open (port N selected, Open clicked),
// --listen (PORT typed, Listen clicked), --capture. Returns one line for each
// step that did not succeed. Once Exit has run (a signal during a step's
// wait or box) it takes no further step and reports nothing: the program is
// ending, with 0.
[[nodiscard]] QStringList takeStartSteps(RelayCore &core, const CommandLine &options);

// Ends the program the way Exit does on SIGINT, SIGTERM and SIGHUP, and
// quits `app` once the core has ended; logs the byte counters on SIGUSR1;
// on SIGUSR2 reads Harborcast.ini [tls] and the files again and applies
// them at once, with `options` over them as at start. Lives as long as `core`.
void endOnSignals(RelayCore &core, QCoreApplication &app, const CommandLine &options);

// What keeps the settings in effect (the files and the command line) from
// being used, one line each: a [monitor] Metrics that is no ADDRESS:PORT,
// TLS files that cannot be used while TLS is on. Checked before anything is
// opened; opens nothing itself.
[[nodiscard]] QStringList unusableSettings(RelayCore &core, const CommandLine &options);

// Serves the metrics where --metrics, else [monitor] Metrics, says; none
// when neither names a place. What keeps them from being served (a
// malformed setting, an address taken) is one line in `failures`. The
// server reads `core`'s engine and must go before it; the console shows
// the lines of `tail` (none without). With `announce`, it is announced by
// DNS-SD as the console while it serves.
[[nodiscard]] std::unique_ptr<MetricsServer> serveMetrics(RelayCore &core, const CommandLine &options,
                                                          QStringList *failures, LogTail *tail = nullptr,
                                                          bool announce = false);

// --list-ports: prints the port table of the config folder, a table for
// people or with --json an array for scripts, and returns 0. Opens no port.
[[nodiscard]] int listPorts(int &argc, char **argv, const CommandLine &options);

// Exit codes of a hub run beyond 0 (a clean end).
// Runs a hub per section of --devices FILE, headless, until a signal ends it.
int runDevices(int &argc, char **argv, const CommandLine &options);

inline constexpr int ExitStartFailed = 1;     // a start step failed (port, listen, metrics, capture)
inline constexpr int ExitSettingsUnusable = 2; // like a command-line mistake: nothing was started

// Runs the relay without a window until a signal ends it. Returns the exit
// code: 0 after a clean end, ExitSettingsUnusable when unusableSettings
// names something (before any device or socket is opened), ExitStartFailed
// when a start step failed (the steps after it are not taken).
[[nodiscard]] int runHeadless(int &argc, char **argv, const CommandLine &options);

// Exit codes of the link beyond 0 (ended by a signal) and 2 (command line).
inline constexpr int ExitHubUnreachable = 3; // the first connection failed or had no answer
inline constexpr int ExitLinkDevice = 4;     // the device could not be made at its path

// Runs the link (--link, --link-device) until a signal ends it, without a
// window. Returns the exit code.
[[nodiscard]] int runLink(int &argc, char **argv, const CommandLine &options);
