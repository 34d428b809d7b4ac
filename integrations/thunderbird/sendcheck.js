// Postwarden's check of one send, for the background script. Kept apart from
// the listener's registration so that it can be run against a stand-in of the
// `messenger` API.
//
// The rule it keeps: a send goes ahead only when the Postwarden program
// answered that it may. Anything else (a No, a held send, a program that is
// missing, crashed or answered nonsense) cancels the send, leaves the message
// in its compose window and tells the person why.
"use strict";

var PostwardenSendCheck = (() => {
  // The native-messaging name of the host, as `postwarden thunderbird install`
  // registers it.
  const HOST = "postwarden";
  const TITLE = "Postwarden: not sent";
  const HOW_TO_SEND_ANYWAY =
    "To send without the check, disable the Postwarden add-on " +
    "(Tools > Add-ons and Themes).";

  // A recipient list as the host wants it: texts ("Name <address>"). The
  // compose details give texts; an address-book entry given as an id cannot be
  // checked without reading the address book, so it stops the send rather
  // than go out unchecked.
  function recipients(list, field) {
    if (list === undefined || list === null) return [];
    return (Array.isArray(list) ? list : [list]).map((recipient) => {
      if (typeof recipient === "string") return recipient;
      throw new Error(
        `a ${field} recipient is an address-book ${recipient && recipient.type} ` +
          "that Postwarden cannot read");
    });
  }

  // Thunderbird hands an address-book mailing list over as "team <team>" and
  // puts its members in only after this event, so the host would never see
  // who the message goes to: each recipient without an "@" that names a list
  // becomes the list's members' addresses.
  async function expandLists(messenger, recipients) {
    if (!recipients.some((r) => !addressOf(r).includes("@"))) return recipients;
    const books = messenger.addressBooks;
    const lists = {};
    for (const book of await books.list()) {
      for (const list of await books.mailingLists.list(book.id)) {
        lists[list.name.toLowerCase()] = list.id;
      }
    }
    const expanded = [];
    for (const recipient of recipients) {
      const id = lists[addressOf(recipient).toLowerCase()];
      if (id === undefined) {
        expanded.push(recipient);
        continue;
      }
      for (const member of await books.mailingLists.listMembers(id)) {
        // A member's addresses are in its vCard: "EMAIL;PREF=1:x@y".
        for (const [, address] of (member.vCard || "").matchAll(/^EMAIL[^:\n]*:(.*?)\r?$/gim)) {
          expanded.push(address);
        }
      }
    }
    return expanded;
  }

  // The address of "Name <address>", or the text itself.
  function addressOf(recipient) {
    const match = /<([^<>]*)>\s*$/.exec(recipient);
    return (match ? match[1] : recipient).trim();
  }

  // What the host needs of the message: the details of the Send event and
  // the attachments' names, which the event does not carry. The HTML body is
  // sent only for HTML mail: for plain-text mail `details.body` is still an
  // HTML document, made by Thunderbird, not what goes out.
  async function composeRequest(messenger, tab, details) {
    const attachments = await messenger.compose.listAttachments(tab.id);
    return {
      from: typeof details.from === "string" ? details.from : "",
      to: await expandLists(messenger, recipients(details.to, "To")),
      cc: await expandLists(messenger, recipients(details.cc, "Cc")),
      bcc: await expandLists(messenger, recipients(details.bcc, "Bcc")),
      subject: details.subject || "",
      isPlainText: details.isPlainText === true,
      plainTextBody: details.plainTextBody || "",
      htmlBody: details.isPlainText === true ? "" : details.body || "",
      attachments: attachments.map((attachment) => attachment.name),
    };
  }

  // Tells the person without waiting for it: the compose window stays locked
  // until the listener answers. A send held by the check or by a broken
  // install gets a window of its own, which cannot pass unseen; a No the person
  // gave just now only a notification.
  function tell(messenger, text, { quiet = false } = {}) {
    return Promise.resolve()
      .then(() => quiet
        ? messenger.notifications.create({ type: "basic", title: TITLE, message: text })
        : messenger.windows.create({
          type: "popup", url: "notice.html#" + encodeURIComponent(text), width: 520, height: 260,
        }))
      .catch((error) => console.error(`${TITLE}: ${text} (${error})`));
  }

  // The onBeforeSend listener's answer for one send: {} lets it go,
  // {cancel: true} holds it.
  async function onBeforeSend(messenger, tab, details) {
    let request;
    try {
      request = await composeRequest(messenger, tab, details);
    } catch (error) {
      tell(messenger, `Postwarden could not read the message (${error.message}). ` +
        HOW_TO_SEND_ANYWAY);
      return { cancel: true };
    }
    let answer;
    try {
      answer = await messenger.runtime.sendNativeMessage(HOST, request);
    } catch (error) {
      tell(messenger, `The Postwarden program could not be run (${error.message}); is it ` +
        "installed (postwarden thunderbird install)? " + HOW_TO_SEND_ANYWAY);
      return { cancel: true };
    }
    if (answer && answer.allowed === true) return {};
    const valid = answer && typeof answer === "object" && typeof answer.reason === "string" &&
      answer.reason !== "";
    const broken = !valid || answer.outcome === "error" || answer.outcome === "not installed";
    const reason = valid ? answer.reason : "the Postwarden program gave no usable answer";
    // The person's own decision, just now: a No, a closed question, or a
    // Cancel in the countdown before the send.
    const personSaidNo = !broken && ["no", "closed", "cancelled in the countdown"]
      .includes(answer.outcome);
    tell(messenger, broken ? `${reason}. ${HOW_TO_SEND_ANYWAY}` : `${reason}.`,
      { quiet: personSaidNo });
    return { cancel: true };
  }

  return { HOST, composeRequest, onBeforeSend };
})();
