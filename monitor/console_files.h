#pragma once

#include <QByteArray>
#include <QString>

class QHttpServer;

// The web console's files, served beside /metrics and /status:
//   GET /                the page            GET /console.js, /console.css  its script and style
//   GET /xterm/xterm.js  the terminal widget GET /xterm/xterm.css           its style
// The page, script and style are compiled in (monitor/console/); the
// terminal widget is xterm.js from Debian's node-xterm, read from its
// installed folder at each request, so an upgrade of the package needs no
// restart. Each answer carries a Content-Security-Policy that lets the page
// load and connect to nothing but this server, and no inline script.
namespace console_files {

// Routes the files on `http` (GET only; other methods get what any unknown
// route gets). `xtermDir` is node-xterm's lib/ folder.
void addRoutes(QHttpServer &http, const QString &xtermDir);

// node-xterm installs xterm.js as CommonJS modules (lib/**/*.js) for
// bundlers. This makes the one script a browser loads: every module under
// `dir` (tests left out) wrapped in a function under its path, a small
// `require` that runs them on demand, and `window.Terminal` set to what
// lib/xterm.js exports. Empty when `dir` has no xterm.js.
[[nodiscard]] QByteArray browserScript(const QString &dir);

// What every console answer says of where the page may load and connect.
inline constexpr char ContentSecurityPolicy[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

} // namespace console_files
