#include "monitor/console_files.h"

#include "platform/log_categories.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QSet>

#include <memory>

namespace console_files {

namespace {

// The loader around node-xterm's modules. Each module is a function of
// (exports, require, module) under its path without ".js"; require()
// resolves a path relative to the module asking and runs each module once
// (a module under way hands out what it has exported so far, as Node does).
const QByteArray LoaderHead = R"js((function () {
'use strict';
var modules = {};
var loaded = {};
function resolve(from, path) {
    var parts = from.split('/');
    parts.pop();
    path.split('/').forEach(function (part) {
        if (part === '..') parts.pop();
        else if (part !== '.' && part !== '') parts.push(part);
    });
    return parts.join('/').replace(/\.js$/, '');
}
function load(name) {
    if (!loaded[name]) {
        if (!modules[name]) throw new Error('xterm.js: no module ' + name);
        var module = { exports: {} };
        loaded[name] = module;
        modules[name].call(module.exports, module.exports,
                           function (path) { return load(resolve(name, path)); }, module);
    }
    return loaded[name].exports;
}
)js";

const QByteArray LoaderTail = R"js(window.Terminal = load('xterm');
})();
)js";

// Answers with the console's headers; text in UTF-8.
QHttpServerResponse answer(const QByteArray &type, QByteArray body)
{
    QHttpServerResponse response(type + "; charset=utf-8", std::move(body));
    response.setHeader("Content-Security-Policy", ContentSecurityPolicy);
    response.setHeader("X-Content-Type-Options", "nosniff");
    response.setHeader("Referrer-Policy", "no-referrer");
    response.setHeader("Cache-Control", "no-cache");
    return response;
}

QByteArray compiledIn(const QString &name)
{
    QFile file(QStringLiteral(":/console/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return {}; // not reached: the files are linked into the program
    return file.readAll();
}

// The widget's files, read from node-xterm's folder at each request. A file
// that is missing is logged the first time only: a page reloaded every few
// seconds must not fill the log.
class XtermFiles
{
public:
    explicit XtermFiles(QString dir) : m_dir(std::move(dir)) {}

    QHttpServerResponse serve(const QString &name, const QByteArray &type)
    {
        const QByteArray body = name == QLatin1String("xterm.js") ? browserScript(m_dir) : read(name);
        if (body.isEmpty()) {
            if (!m_missing.contains(name)) {
                m_missing.insert(name);
                qCWarning(lcNet, "console: %s not found in %s (Debian's node-xterm installs it); "
                          "the page has no terminal",
                          qUtf8Printable(name), qUtf8Printable(QDir::toNativeSeparators(m_dir)));
            }
            return QHttpServerResponse(QHttpServerResponse::StatusCode::NotFound);
        }
        m_missing.remove(name);
        return answer(type, body);
    }

private:
    QByteArray read(const QString &name) const
    {
        QFile file(m_dir + QLatin1Char('/') + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    const QString m_dir;
    QSet<QString> m_missing;
};

} // namespace

QByteArray browserScript(const QString &dir)
{
    const QDir root(dir);
    if (!root.exists(QStringLiteral("xterm.js")))
        return {};
    QStringList paths;
    QDirIterator files(dir, {QStringLiteral("*.js")}, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = root.relativeFilePath(files.next());
        if (!path.endsWith(QLatin1String(".test.js")))
            paths.append(path);
    }
    paths.sort();
    QByteArray script = LoaderHead;
    for (const QString &path : std::as_const(paths)) {
        QFile file(root.filePath(path));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        // The body keeps its own lines; the closing brace goes on a line of
        // its own after the source-map comment that ends each file.
        script += "modules['" + path.chopped(3).toUtf8() + "'] = function (exports, require, module) {\n"
            + file.readAll() + "\n};\n";
    }
    return script + LoaderTail;
}

void addRoutes(QHttpServer &http, const QString &xtermDir)
{
    using Method = QHttpServerRequest::Method;
    const struct {
        const char *path;
        const char *file;
        const char *type;
    } pages[] = {
        {"/", "index.html", "text/html"},
        {"/console.js", "console.js", "text/javascript"},
        {"/console.css", "console.css", "text/css"},
    };
    for (const auto &page : pages) {
        http.route(QString::fromLatin1(page.path), Method::Get,
                   [file = QString::fromLatin1(page.file), type = QByteArray(page.type)] {
                       return answer(type, compiledIn(file));
                   });
    }
    auto xterm = std::make_shared<XtermFiles>(xtermDir);
    http.route(QStringLiteral("/xterm/xterm.js"), Method::Get,
               [xterm] { return xterm->serve(QStringLiteral("xterm.js"), "text/javascript"); });
    http.route(QStringLiteral("/xterm/xterm.css"), Method::Get,
               [xterm] { return xterm->serve(QStringLiteral("xterm.css"), "text/css"); });
}

} // namespace console_files
