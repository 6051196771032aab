// The site's console: send a page, see the queue and the history change as they do, and the gateway's
// health. Plain JavaScript against the gateway's own API.
import { TEXTS, pickLanguage } from './texts.js';

const MAX_BYTES = 84;
const MAX_RECIPIENTS = 100; // the gateway's limit of watches a page
const PAGE_SIZE = 50;
const KEY_STORE = 'velkor-console-key';
const STATES = ['queued', 'sending', 'sent', 'failed', 'expired', 'cancelled', 'acknowledged', 'resolved',
  'unanswered'];

const lang = pickLanguage(navigator.languages || [navigator.language]);
const words = TEXTS[lang];
const $ = (id) => document.getElementById(id);

function say(name, values = {}) {
  return (words[name] || name).replace(/\{(\w+)\}/g, (_, k) => (k in values ? String(values[k]) : ''));
}

function translatePage() {
  document.documentElement.lang = lang === 'en' ? 'en' : 'zh-CN';
  document.title = say('title');
  for (const node of document.querySelectorAll('[data-text]')) node.textContent = say(node.dataset.text);
  for (const node of document.querySelectorAll('[data-placeholder]')) node.placeholder = say(node.dataset.placeholder);
}

// ---- the key ----
let key = localStorage.getItem(KEY_STORE) || '';
let scopes = ['send', 'read', 'admin'];
let keyWaiters = [];

// A request the gateway refused: its status, its stable code and field (what the page translates), and the
// gateway's own English (kept for the tooltip and the log, never matched).
class Refused extends Error {
  constructor(status, message, body = {}) {
    super(message);
    this.status = status;
    this.code = body.code || '';
    this.field = body.field || '';
    this.value = body.value || '';
  }
}

async function api(path, options = {}) {
  for (;;) {
    const headers = Object.assign({}, options.headers || {});
    if (key) headers.Authorization = 'Bearer ' + key;
    headers['X-Velkor-Console'] = '1'; // an answer given here is recorded as the console's
    let response;
    try {
      response = await fetch(path, Object.assign({}, options, { headers }));
    } catch (error) {
      throw new Refused(0, say('unreachable'));
    }
    if (response.status === 401) {
      await askForKey(key ? say('wrongKey') : '');
      continue;
    }
    const body = await response.json().catch(() => ({}));
    if (!response.ok) throw new Refused(response.status, body.error || String(response.status), body);
    return body;
  }
}

function askForKey(problem) {
  const dialog = $('key-dialog');
  $('key-error').textContent = problem;
  if (!dialog.open) {
    $('key').value = '';
    dialog.showModal();
  }
  return new Promise((resolve) => keyWaiters.push(resolve));
}

$('key-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const given = $('key').value.trim();
  if (!given) { $('key-error').textContent = say('keyNeeded'); return; }
  key = given;
  localStorage.setItem(KEY_STORE, key);
  $('key-dialog').close();
  const waiting = keyWaiters;
  keyWaiters = [];
  for (const resolve of waiting) resolve();
});
$('key-dialog').addEventListener('cancel', (event) => event.preventDefault());

$('forget').addEventListener('click', () => {
  localStorage.removeItem(KEY_STORE);
  key = '';
  location.reload();
});

// ---- what the watches can show ----
let gbk = null; // bit set: GBK has the character

function measure(text) {
  let bytes = 0;
  const missing = [];
  for (const ch of text) {
    const code = ch.codePointAt(0);
    if (code === 0x0a || (code >= 0x20 && code < 0x7f)) bytes += 1;
    else if (gbk && code < 0x10000 && (gbk[code >> 3] >> (code & 7)) & 1) bytes += 2;
    else if (!gbk && code < 0x10000) bytes += 2; // no map: the gateway's answer tells
    else {
      bytes += 1;
      if (!missing.includes(ch)) missing.push(ch);
    }
  }
  return { bytes, missing };
}

function showCount() {
  const { bytes, missing } = measure($('text').value);
  const count = $('count');
  count.textContent = `${bytes}/${MAX_BYTES}`;
  count.classList.toggle('over', bytes > MAX_BYTES);
  $('text-warning').textContent = missing.length ? say('missing', { chars: missing.join(' ') }) : '';
  return bytes;
}

// ---- recipients ----
let watches = [];
let groups = [];

let rosters = [];
function knownRecipient(name) {
  return name === 'all' || /^\d+$/.test(name) || /^\d+\.\d+\.\d+\.\d+$/.test(name) ||
    watches.some((w) => w.name === name) || groups.some((g) => g.name === name) || rosters.includes(name);
}

function fillRecipients() {
  const list = $('recipients');
  list.replaceChildren();
  const add = (value, label) => {
    const option = document.createElement('option');
    option.value = value;
    option.label = label;
    list.append(option);
  };
  add('all', say('all'));
  for (const g of groups) add(g.name, `${say('group')} · ${say('members', { n: g.members.length })}`);
  for (const w of watches) add(w.name, w.address);
  for (const r of rosters) add(r, say('roster'));
}

// Split as the gateway splits a list, by the separators /v1/watches names.
let separators = [','];
function recipientsOf(text) {
  let parts = [text];
  for (const separator of separators) parts = parts.flatMap((part) => part.split(separator));
  return parts.map((s) => s.trim()).filter((s) => s);
}

// ---- sending ----
function clearErrors() {
  for (const id of ['to-error', 'text-error', 'form-error', 'form-done']) $(id).textContent = '';
}

async function send() {
  clearErrors();
  const to = recipientsOf($('to').value);
  const text = $('text').value.replace(/\r\n?/g, '\n').replace(/\n+$/, '');
  let bad = false;
  if (!to.length) { $('to-error').textContent = say('needTo'); bad = true; }
  const unknown = to.find((name) => !knownRecipient(name));
  if (unknown) { $('to-error').textContent = say('noSuch', { name: unknown }); bad = true; }
  if (!text) { $('text-error').textContent = say('needText'); bad = true; }
  const bytes = measure(text).bytes;
  if (bytes > MAX_BYTES) { $('text-error').textContent = say('tooLong', { n: bytes }); bad = true; }
  if (bad) return;
  const body = { to, text, priority: $('priority').value };
  const every = Number($('every').value);
  const times = Number($('times').value) || 2;
  if ($('answer').checked) {
    body.answer = true;
    // Repeated until someone answers, for as many rounds as "times" says at the most.
    if (every > 0) { body.repeat = { every, until: 'acknowledged' }; body.ttl = every * times; }
  } else if (every > 0) {
    body.repeat = { every, count: times };
  }
  $('submit').disabled = true;
  try {
    const answer = await api('/v1/pages', {
      method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
    });
    $('form-done').textContent = say('sentOk', { id: answer.id });
    $('text').value = '';
    showCount();
    refreshSoon();
  } catch (error) {
    showRefusal(error);
  } finally {
    $('submit').disabled = !scopes.includes('send');
  }
}

// A refusal in the page's words, found by its code (and field): the gateway's English goes in the tooltip.
function refusalText(error) {
  if (!error.status) return error.message; // the page's own words already (the gateway cannot be reached)
  const byField = { missing: { to: 'needTo', text: 'needText' }, invalid: { to: 'badTo', text: 'badText' } };
  const byCode = {
    unknown_recipient: 'unknownTo', too_many_recipients: 'tooMany', scope_missing: 'readOnly',
    not_your_page: 'notYours', page_sending: 'beingSent', page_not_queued: 'notQueued',
    not_queued: 'queueBusy', queue_unavailable: 'queueBusy', too_many_consoles: 'tooManyConsoles',
    answer_not_asked: 'answerNotAsked', page_ended: 'pageEnded',
  };
  const words = (byField[error.code] || {})[error.field] || byCode[error.code];
  if (error.code === 'unknown_recipient' && error.value) return say('noSuch', { name: error.value });
  return words ? say(words, { n: MAX_RECIPIENTS }) : say('refusedCode', { code: error.code || error.status });
}

// A refusal beside the field it names, else under the form.
function showRefusal(error) {
  const place = $(['to', 'text'].includes(error.field) ? `${error.field}-error` : 'form-error');
  place.textContent = refusalText(error);
  place.title = error.message || '';
}

$('form').addEventListener('submit', (event) => { event.preventDefault(); send(); });
$('text').addEventListener('keydown', (event) => {
  if (event.key === 'Enter' && (event.ctrlKey || event.metaKey)) { event.preventDefault(); send(); }
});
$('to').addEventListener('keydown', (event) => {
  if (event.key === 'Enter' && (event.ctrlKey || event.metaKey)) { event.preventDefault(); send(); }
});
$('text').addEventListener('input', showCount);
$('every').addEventListener('change', () => { $('times').disabled = $('every').value === '0'; });

function showQuickTexts(texts) {
  const box = $('quick');
  for (const old of box.querySelectorAll('button')) old.remove();
  for (const quick of texts) {
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = quick.label;
    button.title = quick.text;
    button.addEventListener('click', () => {
      $('text').value = quick.text;
      if (quick.to) $('to').value = quick.to;
      showCount();
      clearErrors();
      ($('to').value ? $('submit') : $('to')).focus();
    });
    box.append(button);
  }
  box.hidden = texts.length === 0;
}

// ---- the queue and the history ----
const rows = new Map(); // page id: its row
let oldest = null;      // the id the next older listing starts below
let search = '';

function timeText(iso) {
  if (!iso) return '';
  const when = new Date(iso);
  const today = new Date();
  const locale = lang === 'en' ? 'en-GB' : 'zh-CN';
  const time = when.toLocaleTimeString(locale, { hour12: false });
  return when.toDateString() === today.toDateString() ? time : `${when.toLocaleDateString(locale)} ${time}`;
}

// A reason in the console's language by its code; the gateway's own words stay in the tooltip.
function reasonText(code) {
  return words[`why_${code}`] || say('otherReason', { code: code || '?' });
}

function reasonNode(className, code, english) {
  const node = document.createElement('span');
  node.className = className;
  node.textContent = reasonText(code);
  if (english) node.title = english;
  return node;
}

function detailsText(page) {
  return (page.detail_list || []).map((d) => `${words[`detail_${d.name}`] || d.words} ${d.value}`).join('；');
}

function stateOf(page) {
  if (page.state === 'queued' && page.scheduled) return 'scheduled';
  return page.state === 'queued' && page.sending ? 'sending' : page.state;
}

// Waits for an answer: asked for one, still repeating or sent, not answered.
function waiting(page) {
  return page.answer && (page.state === 'queued' || page.state === 'sent') && !page.answered;
}

// A button that asks the gateway to do something to a page, and shows the page as it is afterwards.
function actionButton(page, label, className, request, refused) {
  const button = document.createElement('button');
  button.type = 'button';
  button.className = className;
  button.textContent = say(label);
  button.addEventListener('click', async () => {
    button.disabled = true;
    try {
      showPage(await api(request.path, { method: request.method }));
    } catch (error) {
      alert(say(refused, { why: refusalText(error) }));
      button.disabled = false;
    }
  });
  return button;
}

function ackButton(page) {
  return actionButton(page, 'ack', 'ack', { path: `/v1/pages/${page.id}/ack`, method: 'POST' }, 'cannotAck');
}

function toText(page) {
  if (!page.to) return '';
  return page.to.map((r) => (r.name && r.name !== 'all' ? r.name : r.name === 'all' ? say('all') : r.address)).join(', ');
}

function fillRow(row, page) {
  const state = stateOf(page);
  const cells = [
    ['time', timeText(page.created)],
    ['to', toText(page)],
    ['text', page.kind === 'time' ? '⏱' : page.text],
    ['from', (page.source || '') + (page.key ? ` · ${say('keyName', { name: page.key })}` : '')],
  ];
  row.replaceChildren();
  row.dataset.id = page.id;
  row.dataset.state = state;
  for (const [name, value] of cells) {
    const td = document.createElement('td');
    td.className = name;
    td.textContent = value;
    // What a panel's call carried besides its text (beep coding, call type...).
    if (name === 'text' && page.detail_list) {
      const details = document.createElement('span');
      details.className = 'details';
      details.textContent = detailsText(page);
      td.append(details);
    }
    row.append(td);
  }
  const stateCell = document.createElement('td');
  stateCell.className = `state state-${state}`;
  stateCell.textContent = state === 'scheduled' ? say('scheduled', { time: timeText(page.at) })
    : STATES.includes(state) ? say(state) : state;
  if (page.answered) {
    const by = document.createElement('span');
    by.className = 'reason';
    by.textContent = say('answeredBy', { by: page.answered.by, via: page.answered.via });
    stateCell.append(by);
  }
  if (page.reason && state !== 'sent') stateCell.append(reasonNode('reason', page.reason_code, page.reason));
  row.append(stateCell);
  const action = document.createElement('td');
  const mayAct = scopes.includes('send') || scopes.includes('admin');
  if (waiting(page) && mayAct) action.append(ackButton(page));
  if (page.state === 'queued' && mayAct) {
    action.append(actionButton(page, 'cancel', 'secondary', { path: `/v1/pages/${page.id}`, method: 'DELETE' },
      'cannotCancel'));
  }
  row.append(action);
}

function matches(page) {
  if (!search) return true;
  const needle = search.toLowerCase();
  return [page.text || '', page.source || '', ...(page.to || []).flatMap((r) => [r.name || '', r.address || ''])]
    .some((s) => s.toLowerCase().includes(needle));
}

// A page as it is now: its row changed in place, or a new row at the top.
function showPage(page, listed = false) {
  let row = rows.get(page.id);
  if (!row) {
    if (!listed && !matches(page)) return;
    // Older than what is shown: the listing of older pages brings it.
    if (!listed && oldest !== null && page.id < oldest) return;
    row = document.createElement('tr');
    rows.set(page.id, row);
    const body = $('pages').tBodies[0];
    const after = [...body.rows].find((r) => Number(r.dataset.id) < page.id);
    body.insertBefore(row, after || null);
  }
  fillRow(row, page);
  $('empty').hidden = rows.size > 0;
  showWaiting(page, !listed);
}

// ---- the pages that wait for an answer, oldest first, above everything ----
const waitingItems = new Map(); // page id: its item
function showWaiting(page, live) {
  const list = $('unanswered-list');
  let item = waitingItems.get(page.id);
  if (!waiting(page)) {
    if (item) { item.remove(); waitingItems.delete(page.id); }
    $('unanswered').hidden = waitingItems.size === 0;
    return;
  }
  const isNew = !item;
  if (isNew) {
    // Made once: a page repeating changes often, and its button must stay where the user's finger is.
    item = document.createElement('li');
    waitingItems.set(page.id, item);
    item.dataset.id = page.id;
    const after = [...list.children].find((i) => Number(i.dataset.id) > page.id);
    list.insertBefore(item, after || null);
    const text = document.createElement('span');
    text.className = 'text';
    const meta = document.createElement('span');
    meta.className = 'meta';
    item.append(text, meta);
    if (scopes.includes('send') || scopes.includes('admin')) item.append(ackButton(page));
  }
  item.querySelector('.text').textContent = page.text || '';
  item.querySelector('.meta').textContent = `${toText(page)} · ${say('waitingSince', { time: timeText(page.created) })}`;
  $('unanswered').hidden = false;
  if (isNew && live) callAttention(page);
}

// A new page to answer: a tone, and the browser's notification where the user allowed it.
function callAttention(page) {
  try {
    const audio = new AudioContext();
    const tone = audio.createOscillator();
    const gain = audio.createGain();
    tone.frequency.value = 880;
    gain.gain.value = 0.2;
    tone.connect(gain).connect(audio.destination);
    tone.start();
    tone.stop(audio.currentTime + 0.4);
    tone.onended = () => audio.close();
  } catch (error) {
    // no sound here: the list shows it
  }
  if ('Notification' in window && Notification.permission === 'granted') {
    new Notification(say('newCall'), { body: page.text || '', tag: `velkor-${page.id}` });
  }
}

async function loadWaiting() {
  const answer = await api('/v1/unanswered');
  for (const page of answer.pages) showWaiting(page, false);
}

async function loadPages(older) {
  const query = new URLSearchParams({ limit: String(PAGE_SIZE) });
  if (search) query.set('q', search);
  if (older && oldest !== null) query.set('before', String(oldest));
  const answer = await api(`/v1/pages?${query}`);
  if (!older) {
    rows.clear();
    $('pages').tBodies[0].replaceChildren();
  }
  for (const page of answer.pages) {
    showPage(page, true);
    oldest = oldest === null ? page.id : Math.min(oldest, page.id);
  }
  if (!answer.pages.length && !older) oldest = null;
  $('older').hidden = !answer.next;
  $('empty').hidden = rows.size > 0;
}

let refreshTimer = 0;
function refreshSoon() {
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(() => { oldest = null; loadPages(false).catch(() => {}); }, 200);
}

$('older').addEventListener('click', () => loadPages(true).catch(() => {}));
let searchTimer = 0;
$('search').addEventListener('input', () => {
  clearTimeout(searchTimer);
  searchTimer = setTimeout(() => {
    search = $('search').value.trim();
    oldest = null;
    loadPages(false).catch(() => {});
  }, 250);
});

// ---- health ----
// The gateway's own verdict (its status) decides: the page only says it, and what else is wrong beside it.
function showHealth(health) {
  const box = $('health');
  const since = (time) => (time ? say('since', { time: timeText(time) }) : '');
  const why = (code) => (code ? `：${reasonText(code)}` : '');
  const port = () => say('portClosed', { port: health.port, since: since(health.lost_since) }) +
    why(health.port_problem_code);
  const panel = () => say('panelDown', { port: health.panel.port, since: since(health.panel.lost_since) }) +
    why(health.panel.problem_code);
  const verdicts = {
    ok: () => say('healthOk', { port: health.port, depth: health.queue_depth }),
    'queue cannot be stored': () => say('storeBad'),
    'port closed': port,
    'writes failing': () => say('writesFailing'),
    'broker not connected': () => say('brokerDown'),
    'panel port closed': panel,
  };
  const bad = health.status !== 'ok';
  const parts = [(verdicts[health.status] || (() => health.status))()];
  if (bad) parts.push(say('depth', { n: health.queue_depth }));
  // The neighbours' troubles that the verdict, which names the first only, leaves unsaid.
  if (health.mqtt && !health.mqtt.connected && health.status !== 'broker not connected') parts.push(say('brokerDown'));
  if (health.panel && !health.panel.open && health.status !== 'panel port closed') parts.push(panel());
  if (health.last_failure) {
    parts.push(say('lastFailure', { time: timeText(health.last_failure.time), why: reasonText(health.last_failure.code) }));
  }
  box.textContent = parts.join(' · ');
  // The gateway's own words, for whoever mends it.
  box.title = [health.port_problem, health.store_problem, health.panel && health.panel.problem,
    health.last_failure && health.last_failure.reason].filter(Boolean).join('\n');
  box.className = `health ${bad ? 'bad' : 'ok'}`;
  box.dataset.status = health.status;
}

// ---- the event stream, read with fetch so that it carries the key ----
let lastEventId = '';

async function followEvents() {
  for (;;) {
    try {
      const headers = {};
      if (key) headers.Authorization = 'Bearer ' + key;
      if (lastEventId) headers['Last-Event-ID'] = lastEventId;
      const response = await fetch('/v1/events', { headers, cache: 'no-store' });
      if (response.status === 401) { await askForKey(say('wrongKey')); continue; }
      if (!response.ok || !response.body) throw new Error(String(response.status));
      if (lastEventId) refreshSoon(); // what changed while the stream was away
      const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
      let buffer = '';
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        buffer += value;
        let end;
        while ((end = buffer.indexOf('\n\n')) >= 0) {
          handleEvent(buffer.slice(0, end));
          buffer = buffer.slice(end + 2);
        }
      }
    } catch (error) {
      // the gateway went away, or restarts: said in the health line, tried again below
    }
    const box = $('health');
    box.textContent = say('lostLink');
    box.className = 'health bad';
    box.dataset.status = 'unreachable';
    await new Promise((resolve) => setTimeout(resolve, 2000));
  }
}

function handleEvent(block) {
  let type = 'message';
  let data = '';
  for (const line of block.split('\n')) {
    if (line.startsWith('event: ')) type = line.slice(7);
    else if (line.startsWith('data: ')) data += line.slice(6);
    else if (line.startsWith('id: ')) lastEventId = line.slice(4);
  }
  if (!data) return;
  const value = JSON.parse(data);
  if (type === 'page') showPage(value);
  else if (type === 'health') showHealth(value);
  else if (type === 'reload') refreshSoon();
}

// ---- start ----
async function start() {
  translatePage();
  showCount();
  fetch('/gbk-map').then((r) => (r.ok ? r.arrayBuffer() : null)).then((map) => {
    if (map) { gbk = new Uint8Array(map); showCount(); }
  }).catch(() => {});
  const me = await api('/v1/key');
  scopes = me.scopes;
  $('forget').hidden = !me.required;
  const canSend = scopes.includes('send');
  $('submit').disabled = !canSend;
  if (!canSend) $('form-error').textContent = say('readOnly');
  if (scopes.includes('read')) {
    const [list, texts] = await Promise.all([api('/v1/watches'), api('/v1/texts')]);
    watches = list.watches;
    groups = list.groups;
    separators = list.separators || separators;
    rosters = list.rosters || [];
    fillRecipients();
    showQuickTexts(texts.texts);
    followEvents();
    await Promise.all([loadPages(false), loadWaiting()]);
  } else {
    $('history').hidden = true;
    $('health').textContent = '';
  }
}

// The browser asks whether notifications may be shown only after a click, as browsers want.
document.addEventListener('click', () => {
  if ('Notification' in window && Notification.permission === 'default') Notification.requestPermission();
}, { once: true });

start().catch((error) => { $('form-error').textContent = say('failedToSend', { why: refusalText(error) }); });
