// The files the server gives out, compiled in: each read once from the program's resources with
// its ETag and, where the build made one, its gzip form, so that a phone on a weak signal
// revalidates in a few hundred bytes and downloads the app compressed when it must.
#pragma once

#include <QByteArray>

struct StaticFile
{
    const char *path;     // the URL path; a request's path is only ever compared with these
    const char *type;     // Content-Type
    bool needsSession;    // the app's page: only for a browser that is logged in
    QByteArray body;
    QByteArray gzip;      // empty where gzip would not make it smaller
    QByteArray etag;      // quoted, of body
    QByteArray gzipEtag;  // the gzip form's: the same with "-gz", so that no cache mixes them up
};

// The file for a URL path, or null. The table is read from the resources on the first call.
const StaticFile *findStaticFile(const QByteArray &path);

// Whether an Accept-Encoding field takes gzip (a "gzip;q=0" refuses it).
bool acceptsGzip(const QByteArray &acceptEncoding);

// Whether an If-None-Match field names etag (weakly, as RFC 9110 compares for it), or is "*".
bool etagMatches(const QByteArray &ifNoneMatch, const QByteArray &etag);
