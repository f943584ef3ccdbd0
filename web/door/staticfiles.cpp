#include "staticfiles.h"

#include <QCryptographicHash>
#include <QFile>

#include <vector>

namespace {

struct Entry
{
    const char *path;
    const char *resource;
    const char *type;
    bool needsSession;
};

const Entry entries[] = {
    {"/", ":/web/index.html", "text/html; charset=utf-8", true},
    {"/login", ":/web/login.html", "text/html; charset=utf-8", false},
    {"/app.js", ":/web/app.js", "text/javascript; charset=utf-8", false},
    {"/login.js", ":/web/login.js", "text/javascript; charset=utf-8", false},
    {"/theme.js", ":/web/theme.js", "text/javascript; charset=utf-8", false},
    {"/style.css", ":/web/style.css", "text/css; charset=utf-8", false},
    {"/favicon.svg", ":/web/favicon.svg", "image/svg+xml", false},
    // Browsers ask for this name whatever the page says; they read the type, not the name.
    {"/favicon.ico", ":/web/favicon.svg", "image/svg+xml", false},
    {"/manifest.webmanifest", ":/web/manifest.webmanifest", "application/manifest+json", false},
    // The service worker's scope is the folder it is served from: it must come from the root.
    {"/sw.js", ":/web/sw.js", "text/javascript; charset=utf-8", false},
};

QByteArray read(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::vector<StaticFile> load()
{
    std::vector<StaticFile> files;
    for (const Entry &e : entries) {
        StaticFile f{e.path, e.type, e.needsSession, {}, {}, {}, {}};
        f.body = read(QString::fromLatin1(e.resource));
        if (f.body.isEmpty())
            continue;
        f.gzip = read(QString::fromLatin1(e.resource) + QStringLiteral(".gz"));
        if (f.gzip.size() >= f.body.size())
            f.gzip.clear();
        // 16 bytes of SHA-256: the same build gives the same tags, a new page a new one.
        const QByteArray hash =
            QCryptographicHash::hash(f.body, QCryptographicHash::Sha256).left(16).toHex();
        f.etag = '"' + hash + '"';
        f.gzipEtag = '"' + hash + "-gz\"";
        files.push_back(f);
    }
    return files;
}

} // namespace

const StaticFile *findStaticFile(const QByteArray &path)
{
    static const std::vector<StaticFile> files = load();
    for (const StaticFile &f : files) {
        if (path == f.path)
            return &f;
    }
    return nullptr;
}

bool acceptsGzip(const QByteArray &acceptEncoding)
{
    for (const QByteArray &item : acceptEncoding.split(',')) {
        const QList<QByteArray> parts = item.split(';');
        if (parts.first().trimmed().toLower() != "gzip")
            continue;
        for (int i = 1; i < parts.size(); ++i) {
            const QByteArray p = parts[i].trimmed().toLower();
            if (p.startsWith("q=") && p.mid(2).toDouble() <= 0)
                return false;
        }
        return true;
    }
    return false;
}

bool etagMatches(const QByteArray &ifNoneMatch, const QByteArray &etag)
{
    for (const QByteArray &item : ifNoneMatch.split(',')) {
        QByteArray tag = item.trimmed();
        if (tag == "*")
            return true;
        if (tag.startsWith("W/"))
            tag = tag.mid(2);
        if (!tag.isEmpty() && tag == etag)
            return true;
    }
    return false;
}
