// The add-on's background scripts, loaded as Thunderbird loads them (in
// order, into one global scope) against a stand-in of the `messenger` API.
"use strict";

const test = require("node:test");
const assert = require("node:assert/strict");
const fs = require("node:fs");
const path = require("node:path");
const vm = require("node:vm");

const ADDON = path.join(__dirname, "..", "..", "integrations", "thunderbird");
const MANIFEST = JSON.parse(fs.readFileSync(path.join(ADDON, "manifest.json"), "utf8"));

// A stand-in of the parts of `messenger` the add-on uses. `host` answers a
// native message (a value, or a function that may throw); every call is noted.
function standIn({ host, attachments = [], listAttachments, lists = {} } = {}) {
  const calls = { native: [], told: [], listeners: [] };
  const messenger = {
    compose: {
      onBeforeSend: { addListener: (listener) => calls.listeners.push(listener) },
      listAttachments: listAttachments ||
        (async (tabId) => attachments.map((name, i) => ({ id: i, name, size: 0, tabId }))),
    },
    addressBooks: {
      list: async () => [{ id: "book" }],
      mailingLists: {
        list: async () => Object.keys(lists).map((name) => ({ id: name, name })),
        listMembers: async (id) => lists[id].map((email) => ({
          vCard: `BEGIN:VCARD\r\nVERSION:4.0\r\nEMAIL;PREF=1:${email}\r\nEND:VCARD\r\n`,
        })),
      },
    },
    runtime: {
      sendNativeMessage: async (application, message) => {
        calls.native.push({ application, message });
        return typeof host === "function" ? host(message) : host;
      },
    },
    notifications: {
      create: async ({ message }) => { calls.told.push({ how: "notification", message }); },
    },
    windows: {
      create: async ({ url }) => {
        const [page, fragment] = url.split("#");
        calls.told.push({ how: page, message: decodeURIComponent(fragment) });
      },
    },
  };
  return { messenger, calls };
}

// Runs the manifest's background scripts; returns the registered listener.
function load(api) {
  const context = vm.createContext({ messenger: api.messenger, console, Promise });
  for (const script of MANIFEST.background.scripts) {
    vm.runInContext(fs.readFileSync(path.join(ADDON, script), "utf8"), context, { filename: script });
  }
  assert.equal(api.calls.listeners.length, 1, "one onBeforeSend listener, registered at load");
  return api.calls.listeners[0];
}

// The scripts' objects come from another realm: compared by their content.
const plain = (value) => JSON.parse(JSON.stringify(value));

// Lets the notification, which is not waited for, be made.
const settle = () => new Promise((resolve) => setImmediate(resolve));

const PLAIN = {
  from: "Me <me@corp.example>", to: ["Ann <ann@corp.example>"], cc: [], bcc: ["b@outside.example"],
  subject: "Hi", isPlainText: true, plainTextBody: "Hello\n", body: "<html><body>Hello</body></html>",
};

test("the host is asked with the compose details and the attachments' names", async () => {
  const api = standIn({ host: { allowed: true }, attachments: ["a.pdf", "b c.txt"] });
  const result = await load(api)({ id: 7 }, PLAIN);
  assert.deepEqual(plain(result), {});
  assert.equal(api.calls.native.length, 1);
  assert.equal(api.calls.native[0].application, "postwarden");
  assert.deepEqual(plain(api.calls.native[0].message), {
    from: "Me <me@corp.example>", to: ["Ann <ann@corp.example>"], cc: [],
    bcc: ["b@outside.example"], subject: "Hi", isPlainText: true, plainTextBody: "Hello\n",
    htmlBody: "", attachments: ["a.pdf", "b c.txt"],
  });
  await settle();
  assert.equal(api.calls.told.length, 0);
});

test("HTML mail sends its HTML body; a single recipient becomes a list", async () => {
  const api = standIn({ host: { allowed: true } });
  const details = { ...PLAIN, to: "ann@corp.example", bcc: undefined, isPlainText: false,
    body: "<p>projectx</p>", plainTextBody: "projectx" };
  await load(api)({ id: 1 }, details);
  const sent = api.calls.native[0].message;
  assert.equal(sent.htmlBody, "<p>projectx</p>");
  assert.equal(sent.plainTextBody, "projectx");
  assert.deepEqual(plain(sent.to), ["ann@corp.example"]);
  assert.deepEqual(plain(sent.bcc), []);
});

// A send held by the check or a broken install is told in a window; a No the
// person just gave, in a notification.
test("anything but an explicit allowed: true cancels the send and says why", async (t) => {
  const cases = [
    { name: "answered No", host: { allowed: false, outcome: "no", reason: "No to \"Send?\"" },
      told: /No to "Send\?"/, hint: false, how: "notification" },
    { name: "closed", host: { allowed: false, outcome: "closed", reason: "the prompt was closed" },
      told: /closed/, hint: false, how: "notification" },
    { name: "cancelled in the countdown",
      host: { allowed: false, outcome: "cancelled in the countdown",
        reason: "cancelled in the countdown" },
      told: /cancelled in the countdown/, hint: false, how: "notification" },
    { name: "held", host: { allowed: false, outcome: "not asked", reason: "nobody could be asked" },
      told: /nobody could be asked/, hint: false },
    { name: "host error", host: { allowed: false, outcome: "error", reason: "cut short" },
      told: /cut short/, hint: true },
    { name: "module missing", host: { allowed: false, outcome: "not installed", reason: "gone" },
      told: /gone/, hint: true },
    { name: "allowed as a text", host: { allowed: "true" }, told: /no usable answer/, hint: true },
    { name: "no answer", host: null, told: /no usable answer/, hint: true },
    { name: "host missing",
      host: () => { throw new Error("No such native application postwarden"); },
      told: /No such native application/, hint: true },
    { name: "attachments unreadable", host: { allowed: true },
      listAttachments: async () => { throw new Error("tab gone"); }, told: /tab gone/, hint: true },
  ];
  for (const c of cases) {
    await t.test(c.name, async () => {
      const api = standIn(c);
      assert.deepEqual(plain(await load(api)({ id: 3 }, PLAIN)), { cancel: true });
      await settle();
      assert.equal(api.calls.told.length, 1);
      const { how, message } = api.calls.told[0];
      assert.equal(how, c.how || "notice.html");
      assert.match(message, c.told);
      assert.equal(/disable the Postwarden add-on/.test(message), c.hint, message);
    });
  }
});

test("an address-book mailing list is asked about by its members", async () => {
  const api = standIn({ host: { allowed: true }, lists: { Team: ["a@corp.example", "x@out.example"] } });
  await load(api)({ id: 6 }, { ...PLAIN, to: ["team <team>", "nolist"], cc: ["Team <Team>"] });
  const sent = api.calls.native[0].message;
  assert.deepEqual(plain(sent.to), ["a@corp.example", "x@out.example", "nolist"]);
  assert.deepEqual(plain(sent.cc), ["a@corp.example", "x@out.example"]);
  assert.deepEqual(plain(sent.bcc), ["b@outside.example"]);
});

test("an address-book recipient it cannot read holds the send", async () => {
  const api = standIn({ host: { allowed: true } });
  const details = { ...PLAIN, bcc: [{ id: "abc", type: "mailingList" }] };
  assert.deepEqual(plain(await load(api)({ id: 4 }, details)), { cancel: true });
  assert.equal(api.calls.native.length, 0);
});

test("telling the person never keeps the send waiting", async () => {
  for (const outcome of ["no", "not asked"]) {
    const api = standIn({ host: { allowed: false, outcome, reason: "held" } });
    api.messenger.notifications.create = () => new Promise(() => {});
    api.messenger.windows.create = () => new Promise(() => {});
    assert.deepEqual(plain(await load(api)({ id: 5 }, PLAIN)), { cancel: true });
  }
});
