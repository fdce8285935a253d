#pragma once

#include <QString>
#include <QStringList>

struct CommandLine;
class QCoreApplication;
class RelayCore;

// The folder of the settings files and ports.ini for this run.
[[nodiscard]] QString configDirFor(const CommandLine &options);

// Puts --baud, --framing, --flow, --listen-address and --allow over the
// stored settings, for this run only.
void applySettingOptions(RelayCore &core, const CommandLine &options);

// Redoes the session noted at the last exit when "Restore session at start"
// is on: Open, then Listen, then Connect, as the operator's actions would,
// except the steps the command line gives itself. Nobody may be watching: a
// step that fails shows in the caption and the log, never in a box.
void restoreSession(RelayCore &core, const CommandLine &options);

// Takes the steps --open and --listen ask for, as the operator would: port
// N selected and Open clicked, PORT typed and Listen clicked. Returns one
// line for each step that did not succeed.
[[nodiscard]] QStringList applyStartOptions(RelayCore &core, const CommandLine &options);

// Ends the program the way Exit does on SIGINT, SIGTERM and SIGHUP, and
// quits `app` once the core has ended; logs the byte counters on SIGUSR1.
// Lives as long as `core`.
void endOnSignals(RelayCore &core, QCoreApplication &app);

// Runs the relay without a window until a signal ends it. Returns the exit
// code: 0 after a clean end, 1 when a start step failed.
[[nodiscard]] int runHeadless(int &argc, char **argv, const CommandLine &options);
