// The front panel in the browser: one WebSocket to the server carries every display, state and
// control change; keys go back over the same socket, and the server decides whether they count.
'use strict';

// The display's size, as the server's hello tells it; nothing is drawn before the hello.
let Rows = 16;
let Columns = 40;
const $ = (id) => document.getElementById(id);

let socket = null;
let controllers = [];        // from hello: {id, name, group}
let kinds = '';              // from summary: a letter for each controller of hello, in its order
const screens = new Map();   // controller id -> {rows, cursor}: the last display received
const states = new Map();    // controller id -> {text, kind}
const tiles = new Map();     // controller id -> tile elements, for the tiles drawn now
let listed = [];             // indexes into controllers: the overview's filtered, sorted list
let shownKey = '';           // the tiles the server was last told are in view
let showTimer = null;
let view = 0;                // counts the changes between the overview and a panel
let drawPending = false;
const keyboard = new Map();  // KeyboardEvent.key -> key code
let role = 'viewer';
let current = null;          // the controller id shown in the panel, or null for the overview
let controlYours = false;
let built = false;           // the keypad is built from the first hello only
let retryMs = 1000;          // the wait before the next reconnect: 1, 2, 4 ... 15 s
let retryTimer = null;

// A display as its rows of text, the cursor (1-based row and column) underlined in place.
function drawDisplay(element, rows, cursor) {
  element.textContent = '';
  for (let r = 0; r < Rows; ++r) {
    const text = (rows[r] || '').padEnd(Columns, ' ');
    const line = document.createElement('div');
    line.className = 'row';
    if (cursor && cursor[0] === r + 1 && cursor[1] >= 1 && cursor[1] <= Columns) {
      const c = cursor[1] - 1;
      const mark = document.createElement('span');
      mark.className = 'cursor';
      mark.textContent = text[c];
      mark.dataset.row = String(r + 1);
      mark.dataset.column = String(c + 1);
      line.append(text.slice(0, c), mark, text.slice(c + 1));
    } else {
      line.textContent = text;
    }
    element.append(line);
  }
}

// What a reader is told of the display: the rows that changed, at most every 2 s, and the row
// the cursor is on. Rows whose figures alone moved (a clock, a timer) are left out unless a key
// was pressed in the last 3 s, or a reader would hear the clock every 2 s.
const TellEveryMs = 2000;
const KeyEchoMs = 3000;
let told = null;             // the rows last told, for the panel's controller
let tellTimer = null;
let lastKeyAt = 0;

function tellRows() {
  if (tellTimer !== null)
    return;
  tellTimer = setTimeout(() => {
    tellTimer = null;
    const shown = screens.get(current);
    if (!shown)
      return;
    const before = told;
    told = shown.rows.slice();
    if (before === null)
      return;
    const keyed = performance.now() - lastKeyAt < KeyEchoMs;
    const figures = (text) => (text || '').replace(/[0-9]/g, '#');
    const words = [];
    for (let r = 0; r < Rows; ++r) {
      const now = told[r] || '', was = before[r] || '';
      if (now !== was && (keyed || figures(now) !== figures(was)) && now.trim())
        words.push(now.replace(/\s+/g, ' ').trim());
    }
    if (words.length === 0)
      return;
    const cursor = shown.cursor;
    if (cursor && cursor[0] >= 1 && cursor[0] <= Rows)
      words.push('cursor on row ' + cursor[0] + ': ' + (told[cursor[0] - 1] || '').trim());
    $('display-said').textContent = words.join('. ');
  }, told === null ? 0 : TellEveryMs);
}

function send(message) {
  if (socket && socket.readyState === WebSocket.OPEN)
    socket.send(JSON.stringify(message));
}

function buildKeypad(keys) {
  for (const key of keys) {
    // Esc is the keyboard user's way off the display, never a controller key here (the
    // desktop's Esc for Sub Menu has End beside it).
    key.keyboard = key.keyboard.filter(k => k !== 'Escape');
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'key';
    button.id = 'key-' + key.code;
    button.dataset.code = String(key.code);
    button.title = key.name + (key.keyboard.length ? ' (' + key.keyboard.map(k => k === ' ' ? 'Space' : k).join(', ') + ')' : '');
    button.setAttribute('aria-label', key.name);
    for (const [i, part] of key.caption.split('\n').entries()) {
      if (i) button.append(document.createElement('br'));
      button.append(part.trim());
    }
    button.style.gridRow = String(key.row + 1);
    button.style.gridColumn = String(key.column + 1);
    button.addEventListener('click', () => pressKey(key.code));
    document.querySelector('#keypad [data-grid="' + key.grid + '"]').append(button);
    for (const k of key.keyboard)
      keyboard.set(k, key.code);
  }
}

function pressKey(code) {
  lastKeyAt = performance.now();
  if (current)
    send({type: 'key', controller: current, code: code});
}

// The overview draws only the tiles in view, so it costs the same for 50 controllers or 5,000:
// tiles of one fixed size are laid out by arithmetic, and the server is told which ones are in
// view so that it sends their screens and states and only a summary for the rest.
const TileHeight = 196;
const TileGap = 10;
const TileMinWidth = 190;
const KindNames = {s: 'silent', r: 'refused', w: 'waiting', a: 'answering'};
const KindOrder = {s: 0, r: 1, w: 2, a: 3};
const SummaryWords = [['a', 'answering'], ['s', 'no answer'], ['r', 'refusing'], ['w', 'waiting']];
// A tile's words until the server sends its own.
const SummaryText = {answering: 'answering', silent: 'no answer', refused: 'replies refused', waiting: 'waiting for the first reply'};
const collator = new Intl.Collator(undefined, {numeric: true, sensitivity: 'base'});

function buildOverview() {
  const chosen = $('filter-group').value;
  $('filter-group').length = 1;  // "All groups" stays
  const groups = [...new Set(controllers.map(c => c.group).filter(g => g))].sort();
  for (const g of groups) {
    const option = document.createElement('option');
    option.value = g;
    option.textContent = g;
    $('filter-group').append(option);
  }
  $('filter-group').value = groups.includes(chosen) ? chosen : '';
  for (const id of [...screens.keys()]) {
    if (!controllers.some(c => c.id === id)) {
      screens.delete(id);
      states.delete(id);
    }
  }
  $('tiles').textContent = '';
  tiles.clear();
  shownKey = '';
  applyFilter();
}

function kindOf(i) {
  return KindNames[kinds[i]] || 'waiting';
}

function applyFilter() {
  const text = $('filter-name').value.trim().toLowerCase();
  const group = $('filter-group').value;
  const state = $('filter-state').value;
  const sort = $('sort').value;
  listed = [];
  for (let i = 0; i < controllers.length; ++i) {
    const c = controllers[i];
    if (c.name.toLowerCase().includes(text) && (!group || c.group === group) &&
        (!state || kindOf(i) === state))
      listed.push(i);
  }
  if (sort === 'name')
    listed.sort((a, b) => collator.compare(controllers[a].name, controllers[b].name) || a - b);
  else if (sort === 'group')
    listed.sort((a, b) => collator.compare(controllers[a].group, controllers[b].group) || a - b);
  else
    listed.sort((a, b) => (KindOrder[kinds[a]] ?? 2) - (KindOrder[kinds[b]] ?? 2) || a - b);
  $('tiles-empty').hidden = listed.length > 0 || controllers.length === 0;
  drawTiles();
}

function showSummary() {
  const counts = {a: 0, s: 0, r: 0, w: 0};
  for (let i = 0; i < controllers.length; ++i)
    ++counts[kinds[i] in counts ? kinds[i] : 'w'];
  const bar = $('summary');
  bar.textContent = '';
  for (const [letter, words] of SummaryWords) {
    const button = document.createElement('button');
    button.type = 'button';
    button.dataset.kind = KindNames[letter];
    button.dataset.count = String(counts[letter]);
    button.textContent = counts[letter].toLocaleString('en') + ' ' + words;
    button.setAttribute('aria-pressed', String($('filter-state').value === KindNames[letter]));
    button.addEventListener('click', () => {
      const select = $('filter-state');
      select.value = select.value === KindNames[letter] ? '' : KindNames[letter];
      showSummary();
      applyFilter();
    });
    bar.append(button);
  }
}

function newTile(c) {
  const tile = document.createElement('a');
  tile.className = 'tile';
  tile.href = '#/c/' + encodeURIComponent(c.id);
  tile.dataset.controller = c.id;
  const name = document.createElement('span');
  name.className = 'tile-name';
  name.textContent = c.name;
  const group = document.createElement('span');
  group.className = 'tile-group';
  group.textContent = c.group;
  const display = document.createElement('div');
  display.className = 'display mini';
  // A reader hears the tile's name, group, state and the display's first row, not 640 letters.
  display.setAttribute('aria-hidden', 'true');
  const state = document.createElement('span');
  state.className = 'tile-state';
  tile.append(name, group, display, state);
  return {tile, display, state, controller: c};
}

function drawTile(t, i) {
  const screen = screens.get(t.controller.id);
  drawDisplay(t.display, screen ? screen.rows : [], null);
  const state = states.get(t.controller.id);
  t.tile.dataset.kind = kindOf(i);
  t.state.textContent = state && state.kind === kindOf(i) ? state.text : SummaryText[kindOf(i)];
  nameTile(t, screen);
}

function nameTile(t, screen) {
  const c = t.controller;
  const first = screen ? (screen.rows[0] || '').replace(/\s+/g, ' ').trim() : '';
  t.tile.setAttribute('aria-label', [c.name, c.group, t.state.textContent, first]
    .filter(w => w).join(', '));
}

function scheduleDraw() {
  if (drawPending)
    return;
  drawPending = true;
  requestAnimationFrame(() => {
    drawPending = false;
    drawTiles();
  });
}

function drawTiles() {
  const box = $('tiles');
  if (current !== null || $('overview').hidden)
    return;
  const width = box.clientWidth;
  const columns = Math.max(1, Math.floor((width + TileGap) / (TileMinWidth + TileGap)));
  const tileWidth = (width - TileGap * (columns - 1)) / columns;
  const rowHeight = TileHeight + TileGap;
  const rows = Math.ceil(listed.length / columns);
  box.style.height = Math.max(0, rows * rowHeight - TileGap) + 'px';
  const top = box.getBoundingClientRect().top;
  // One row beyond the view above and below, so that a short scroll finds its tiles drawn.
  const first = Math.max(0, Math.floor(-top / rowHeight) - 1);
  const last = Math.min(rows - 1, Math.floor((window.innerHeight - top) / rowHeight) + 1);
  const inView = listed.slice(first * columns, (last + 1) * columns);
  const keep = new Set(inView.map(i => controllers[i].id));
  for (const [id, t] of tiles) {
    if (!keep.has(id)) {
      t.tile.remove();
      tiles.delete(id);
    }
  }
  inView.forEach((i, n) => {
    const c = controllers[i];
    let t = tiles.get(c.id);
    if (!t) {
      t = newTile(c);
      tiles.set(c.id, t);
    }
    // In the document in the order they are seen, for the keyboard's and a reader's sake.
    if (box.children[n] !== t.tile)
      box.insertBefore(t.tile, box.children[n] || null);
    t.index = i;
    const at = first * columns + n;
    t.tile.style.transform = 'translate(' + ((at % columns) * (tileWidth + TileGap)) + 'px,' +
      (Math.floor(at / columns) * rowHeight) + 'px)';
    t.tile.style.width = tileWidth + 'px';
    drawTile(t, i);
  });
  tellShown(inView);
}

// The server is told which tiles are in view once scrolling settles, not on every frame.
function tellShown(inView) {
  const key = inView.join(',');
  if (key === shownKey)
    return;
  clearTimeout(showTimer);
  // The view it belongs to goes with it: should a panel open before it leaves, the server
  // drops it rather than take the page off that panel.
  const of = view;
  showTimer = setTimeout(() => {
    shownKey = key;
    send({type: 'overview', show: inView, view: of});
  }, shownKey === '' ? 0 : 120);
}

function route() {
  const match = location.hash.match(/^#\/c\/(.+)$/);
  const id = match ? decodeURIComponent(match[1]) : null;
  const controller = controllers.find(c => c.id === id);
  // The same panel again (a new hello): what it shows stays until the server sends it anew.
  const same = controller !== undefined && controller.id === current;
  if (!same) {
    ++view;
    clearTimeout(showTimer);
  }
  current = controller ? controller.id : null;
  $('overview').hidden = current !== null;
  $('panel').hidden = current === null;
  $('overview-message').textContent = id !== null && !controller
    ? 'The controller "' + id + '" is not in the server\'s configuration (any more).' : '';
  if (same) {
    $('panel-name').textContent = controller.name;
    send({type: 'watch', controller: current, view: view});
  } else if (current) {
    $('panel-message').textContent = '';
    $('panel-name').textContent = controller.name;
    $('panel-state').textContent = '';
    delete $('panel-state').dataset.kind;
    $('panel-said').textContent = '';
    $('panel-figure').textContent = '';
    told = null;
    $('recent-keys').textContent = '';
    drawDisplay($('display'), [], null);
    resetReplay();
    send({type: 'watch', controller: current, view: view});
  } else {
    stopReplay();
    shownKey = '';
    applyFilter();
  }
}

function showControl(message) {
  controlYours = message.yours;
  $('control-holder').textContent = message.holder ? 'Control: ' + message.holder + (message.yours ? ' (you)' : '') : 'Nobody has control';
  const button = $('control-button');
  button.hidden = role !== 'operator';
  button.textContent = message.yours ? 'Release control' : 'Take control';
  $('keypad').classList.toggle('locked', !message.yours);
  // Still reachable, so that a press says why it does nothing; a reader hears it is unavailable.
  for (const key of document.querySelectorAll('#keypad .key'))
    key.setAttribute('aria-disabled', String(!message.yours));
}

const handlers = {
  hello(m) {
    role = m.role;
    const size = m.display || {};
    if (Number.isInteger(size.rows) && size.rows > 0 && size.rows <= 64 &&
        Number.isInteger(size.columns) && size.columns > 0 && size.columns <= 160) {
      Rows = size.rows;
      Columns = size.columns;
    }
    $('who').textContent = m.user + ' (' + m.role + ')';
    if (!built) {
      buildKeypad(m.keys);
      built = true;
    }
    // A later hello follows a reload of the server's configuration: the tiles follow the list,
    // and a panel whose controller is gone says so and shows the overview.
    const before = JSON.stringify(controllers);
    if (before !== JSON.stringify(m.controllers)) {
      controllers = m.controllers;
      // The counts take their place now, so that the tiles do not move down when they come.
      showSummary();
      buildOverview();
    }
    route();
  },
  screen(m) {
    // All rows, or only those that changed since the last screen of this controller.
    let screen = screens.get(m.controller);
    if (m.rows) {
      screen = {rows: m.rows.slice(0, Rows), cursor: m.cursor};
      screens.set(m.controller, screen);
    } else if (screen && Array.isArray(m.changed)) {
      for (const [row, text] of m.changed) {
        if (row >= 0 && row < Rows)
          screen.rows[row] = text;
      }
      screen.cursor = m.cursor;
    } else {
      return;
    }
    const t = tiles.get(m.controller);
    if (t) {
      drawDisplay(t.display, screen.rows, null);
      nameTile(t, screen);
    }
    if (m.controller === current) {
      drawDisplay($('display'), screen.rows, screen.cursor);
      tellRows();
    }
  },
  state(m) {
    states.set(m.controller, {text: m.text, kind: m.kind});
    const t = tiles.get(m.controller);
    if (t) {
      t.state.textContent = m.text;
      t.tile.dataset.kind = m.kind;
      nameTile(t, screens.get(m.controller));
    }
    if (m.controller === current) {
      // A reader hears a change of state, not every second of "no answer for 12 s".
      if ($('panel-state').dataset.kind !== m.kind)
        $('panel-said').textContent = $('panel-name').textContent + ': ' + m.text;
      $('panel-state').textContent = m.text;
      $('panel-state').dataset.kind = m.kind;
      $('panel-figure').textContent = m.kind === 'answering' && m.figure
        ? 'round trip ' + m.figure + ' ms' : '';
    }
  },
  summary(m) {
    const before = kinds;
    kinds = typeof m.kinds === 'string' ? m.kinds : '';
    showSummary();
    // A change of state moves tiles only where the list depends on it.
    if (before !== kinds && ($('sort').value === 'state' || $('filter-state').value))
      applyFilter();
    else
      for (const t of tiles.values())
        drawTile(t, t.index);
  },
  control(m) {
    if (m.controller === current)
      showControl(m);
  },
  keys(m) {
    if (m.controller !== current)
      return;
    const list = $('recent-keys');
    list.textContent = '';
    // On a slow link keys queue: the page says how many are still on their way.
    const waiting = m.keys.filter(k => !k.outcome).length;
    $('keys-waiting').textContent = waiting > 1 ? waiting + ' keys on their way to the controller' : '';
    for (const k of m.keys.slice().reverse()) {
      const item = document.createElement('li');
      item.textContent = k.time.replace('T', ' ').replace('Z', ' UTC') + '  ' + k.user + '  ' + k.key;
      // What became of it: answered, no answer, dropped with the reason, or still on its way.
      const outcome = document.createElement('span');
      outcome.className = 'outcome';
      outcome.dataset.outcome = (k.outcome || 'sending').split(':')[0];
      outcome.textContent = k.outcome || 'sending\u2026';
      item.append('  ', outcome);
      list.append(item);
    }
  },
  refused(m) {
    $('panel-message').textContent = m.message;
  },
  error(m) {
    $('panel-message').textContent = m.message;
  },
};

// While the socket is down, what the page shows is old: it says so over the display and greys
// out the displays and states until the server speaks again.
function showLost(text) {
  document.body.classList.toggle('stale', text !== null);
  $('lost').hidden = text === null;
  $('lost-text').textContent = text || '';
  $('connection').textContent = text === null ? '' : 'disconnected';
}

async function reconnect() {
  retryTimer = null;
  // The session may have ended while the server was away (a restart ends every session).
  try {
    const answer = await fetch('/session', {cache: 'no-store'});
    if (answer.status === 401) {
      location.href = '/login';
      return;
    }
  } catch (e) {
    // The server is still away: try again later.
  }
  connect();
}

function scheduleReconnect() {
  if (retryTimer !== null)
    return;
  const seconds = Math.round(retryMs / 1000);
  showLost((navigator.onLine ? 'Connection to the server lost.' : 'Offline.') +
    ' Reconnecting in ' + seconds + ' s\u2026');
  retryTimer = setTimeout(reconnect, retryMs);
  retryMs = Math.min(retryMs * 2, 15000);
}

function connect() {
  socket = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/ws');
  socket.addEventListener('open', () => {
    retryMs = 1000;
    showLost(null);
  });
  socket.addEventListener('message', (event) => {
    let message;
    try { message = JSON.parse(event.data); } catch (e) { return; }
    const handler = handlers[message.type];
    if (handler)
      handler(message);
  });
  socket.addEventListener('close', (event) => {
    // Closed for its session (logged out, or idle too long): log in again.
    if (event.code === 1008 && /session|logged out/.test(event.reason)) {
      location.href = '/login';
      return;
    }
    scheduleReconnect();
  });
}

// The replay of a controller's recording: what its display showed at each instant of a time
// range, and the keys pressed, from /recording.
const replay = {data: null, at: 0, playing: false, last: 0, frame: 0};

function localInput(ms) {
  const d = new Date(ms - new Date(ms).getTimezoneOffset() * 60000);
  return d.toISOString().slice(0, 19);
}

function resetReplay() {
  stopReplay();
  replay.data = null;
  $('replay').hidden = true;
  $('replay-message').textContent = '';
  const now = Date.now();
  $('replay-from').value = localInput(now - 15 * 60000);
  $('replay-to').value = localInput(now);
  replayLinks();
}

function replayRange() {
  const from = new Date($('replay-from').value).getTime();
  const to = new Date($('replay-to').value).getTime() + 999;
  return Number.isFinite(from) && Number.isFinite(to) && to > from ? {from, to} : null;
}

function replayUrl(range, format) {
  return '/recording?controller=' + encodeURIComponent(current) + '&from=' + range.from +
    '&to=' + range.to + (format ? '&format=' + format : '');
}

function replayLinks() {
  const range = replayRange();
  $('replay-cast').href = range && current ? replayUrl(range, 'cast') : '#';
  $('replay-text').href = range && current ? replayUrl(range, 'txt') : '#';
}

async function loadReplay() {
  const range = replayRange();
  stopReplay();
  if (!range || !current) {
    $('replay-message').textContent = 'Choose a time range that ends after it starts.';
    return;
  }
  $('replay-message').textContent = 'Loading…';
  let response;
  try {
    response = await fetch(replayUrl(range, 'json'), {credentials: 'same-origin'});
  } catch (e) {
    $('replay-message').textContent = 'The server cannot be reached.';
    return;
  }
  if (response.status === 401) {
    location.href = '/login';
    return;
  }
  if (!response.ok) {
    $('replay-message').textContent = (await response.text()).trim();
    return;
  }
  const data = await response.json();
  if (data.controller !== current)
    return;
  replay.data = data;
  const span = data.to - data.from;
  $('replay-position').max = String(span);
  $('replay-message').textContent = (data.changes.length === 0 && !data.recorded
    ? 'Nothing was recorded in this time range.'
    : data.changes.length + ' changes, ' + data.keys.length + ' keys.') +
    (data.cut ? ' Cut short: choose a shorter range for the rest.' : '');
  const marks = $('replay-marks');
  const list = $('replay-keys');
  marks.textContent = '';
  list.textContent = '';
  data.keys.forEach(([t, user, key, outcome], i) => {
    const words = key + ' by ' + user + ': ' + (outcome || 'no outcome recorded');
    const mark = document.createElement('button');
    mark.type = 'button';
    mark.className = 'replay-mark';
    mark.style.left = (100 * (t - data.from) / span) + '%';
    mark.title = words;
    mark.setAttribute('aria-label', words);
    // Its first words say what became of it: answered, no answer, dropped (with the reason after).
    mark.dataset.outcome = (outcome || '').split(':')[0];
    mark.addEventListener('click', () => seekReplay(t));
    marks.append(mark);
    const item = document.createElement('li');
    item.dataset.index = String(i);
    item.textContent = new Date(t).toLocaleTimeString() + ' ' + words;
    list.append(item);
  });
  $('replay').hidden = false;
  seekReplay(data.from);
}

// The display at instant t: the range's first display, then every change up to t.
function replayAt(t) {
  const data = replay.data;
  const rows = data.display.slice();
  let cursor = data.cursor;
  let recorded = data.recorded;
  for (const change of data.changes) {
    if (change[0] > t)
      break;
    if (change[1] === null) {
      recorded = false;
      continue;
    }
    for (const [row, text] of change[1])
      rows[row] = text;
    cursor = change[2];
    recorded = true;
  }
  return {rows, cursor, recorded};
}

function seekReplay(t) {
  const data = replay.data;
  if (!data)
    return;
  replay.at = Math.min(Math.max(t, data.from), data.to);
  const shown = replayAt(replay.at);
  const element = $('replay-display');
  drawDisplay(element, shown.rows, shown.cursor ? [shown.cursor[0] + 1, shown.cursor[1] + 1] : null);
  element.dataset.time = String(replay.at);
  element.classList.toggle('unrecorded', !shown.recorded);
  $('replay-note').textContent = shown.recorded ? '' : 'Not recorded at this moment: nobody was watching.';
  $('replay-position').value = String(replay.at - data.from);
  $('replay-time').textContent = new Date(replay.at).toLocaleString() + ' (+' +
    ((replay.at - data.from) / 1000).toFixed(1) + ' s)';
  let currentKey = -1;
  data.keys.forEach(([kt], i) => { if (kt <= replay.at) currentKey = i; });
  for (const item of $('replay-keys').children)
    item.setAttribute('aria-current', String(Number(item.dataset.index) === currentKey));
}

function stepReplay(forward) {
  const data = replay.data;
  if (!data)
    return;
  const times = data.keys.map(k => k[0]);
  const next = forward ? times.find(t => t > replay.at) : times.filter(t => t < replay.at).pop();
  if (next !== undefined)
    seekReplay(next);
}

function stopReplay() {
  replay.playing = false;
  cancelAnimationFrame(replay.frame);
  $('replay-play').textContent = 'Play';
}

function playFrame(now) {
  if (!replay.playing)
    return;
  const speed = Number($('replay-speed').value) || 1;
  seekReplay(replay.at + (now - replay.last) * speed);
  replay.last = now;
  if (replay.at >= replay.data.to) {
    stopReplay();
    return;
  }
  replay.frame = requestAnimationFrame(playFrame);
}

$('replay-range').addEventListener('submit', (event) => {
  event.preventDefault();
  loadReplay();
});
$('replay-from').addEventListener('change', replayLinks);
$('replay-to').addEventListener('change', replayLinks);
$('replay-position').addEventListener('input', () => {
  if (replay.data)
    seekReplay(replay.data.from + Number($('replay-position').value));
});
$('replay-play').addEventListener('click', () => {
  if (!replay.data)
    return;
  if (replay.playing) {
    stopReplay();
    return;
  }
  if (replay.at >= replay.data.to)
    seekReplay(replay.data.from);
  replay.playing = true;
  replay.last = performance.now();
  $('replay-play').textContent = 'Pause';
  replay.frame = requestAnimationFrame(playFrame);
});
$('replay-prev').addEventListener('click', () => stepReplay(false));
$('replay-next').addEventListener('click', () => stepReplay(true));

$('filter-name').addEventListener('input', applyFilter);
$('filter-group').addEventListener('change', applyFilter);
$('filter-state').addEventListener('change', () => {
  showSummary();
  applyFilter();
});
$('sort').addEventListener('change', applyFilter);
window.addEventListener('scroll', scheduleDraw, {passive: true});
window.addEventListener('resize', scheduleDraw);
window.addEventListener('hashchange', route);
$('control-button').addEventListener('click', () => {
  send({type: controlYours ? 'release' : 'take', controller: current});
});
$('logout').addEventListener('click', async () => {
  await fetch('/logout', {method: 'POST'}).catch(() => {});
  location.href = '/login';
});
// The controller's keyboard map takes keys only where they are not the page's own: on the
// display, on the panel with nothing focused, and on a keypad key (but Enter and Space there
// press that key, as they press any button). Inputs, links, the other buttons and the replay
// keep all their keys; Esc leaves the display for the page's controls.
function keysGoToController(target, key) {
  if (target === $('display') || target === document.body || target === document.documentElement)
    return true;
  return target.matches('#keypad .key') && key !== 'Enter' && key !== ' ';
}

document.addEventListener('keydown', (event) => {
  if (!current || $('panel').hidden || event.ctrlKey || event.altKey || event.metaKey)
    return;
  if (event.key === 'Escape' && event.target === $('display')) {
    event.preventDefault();
    ($('control-button').hidden ? document.querySelector('#panel .back') : $('control-button')).focus();
    return;
  }
  if (!keysGoToController(event.target, event.key))
    return;
  const code = keyboard.get(event.key);
  if (code === undefined)
    return;
  event.preventDefault();
  pressKey(code);
});
$('display').addEventListener('focus', () => { $('display-hint').hidden = false; });
$('display').addEventListener('blur', () => { $('display-hint').hidden = true; });
$('display-hint').hidden = true;
$('contrast').setAttribute('aria-pressed', String(contrastWanted()));
$('contrast').addEventListener('click', () => {
  const more = $('contrast').getAttribute('aria-pressed') !== 'true';
  chooseContrast(more);
  $('contrast').setAttribute('aria-pressed', String(more));
});
$('lost-retry').addEventListener('click', () => {
  if (retryTimer !== null) {
    clearTimeout(retryTimer);
    retryTimer = null;
  }
  reconnect();
});
connect();
// The app's shell kept for a reload without network (sw.js); a browser without it loses nothing.
if ('serviceWorker' in navigator)
  navigator.serviceWorker.register('/sw.js').catch(() => {});
