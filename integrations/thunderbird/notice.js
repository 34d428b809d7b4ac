// The reason comes in the address's fragment, written as text, never as markup.
"use strict";

document.getElementById("reason").textContent = decodeURIComponent(location.hash.slice(1));
document.getElementById("close").addEventListener("click", () => window.close());
