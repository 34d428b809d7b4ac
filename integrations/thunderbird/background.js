// The listener is registered first thing, at the top level: the background
// page is suspended when idle, and a Send wakes it only for listeners that are
// registered while the script first runs.
"use strict";

messenger.compose.onBeforeSend.addListener((tab, details) =>
  PostwardenSendCheck.onBeforeSend(messenger, tab, details));
