// Keeps the app's shell (its pages, scripts, style and icon) so that a reload where the network
// is gone shows the app saying so, not the browser's error page. The shell is asked of the
// server first every time (an unchanged file costs a 304) and taken from the cache only when the
// server cannot be reached; nothing else passes through here, so nothing about controllers or
// keys (the WebSocket, /session, /recording) is ever answered from a cache.
'use strict';
const Shell = 'frontpanel-shell-1';
const Files = ['/', '/login', '/app.js', '/login.js', '/theme.js', '/style.css', '/favicon.svg'];

function keep(path, response) {
  // A redirect (to the login page, for a browser that is not logged in) is never kept.
  if (response.ok && !response.redirected && response.type === 'basic') {
    const copy = response.clone();
    caches.open(Shell).then(cache => cache.put(path, copy));
  }
  return response;
}

self.addEventListener('install', (event) => {
  event.waitUntil(Promise.all(Files.map(path =>
    fetch(path, {cache: 'no-cache'}).then(response => keep(path, response)).catch(() => null)))
    .then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
    .then(names => Promise.all(names.filter(n => n !== Shell).map(n => caches.delete(n))))
    .then(() => self.clients.claim()));
});

self.addEventListener('fetch', (event) => {
  const url = new URL(event.request.url);
  if (event.request.method !== 'GET' || url.origin !== self.location.origin ||
      !Files.includes(url.pathname))
    return;
  event.respondWith(fetch(event.request).then(response => keep(url.pathname, response),
    () => caches.match(url.pathname).then(hit => hit || Response.error())));
});
