#!/usr/bin/env node
// Example client of BrindellFileSync (Node.js standard library only): makes
// the sync folder of a new workspace in PARENT, publishes a history file,
// lists the folder, reads the file back and publishes exactly what it read
// again, then meets one refusal of each kind the retry advice knows.
//   Usage: node client.mjs PARENT [HELPER]
import { spawn } from "node:child_process";
import { createHash, randomUUID } from "node:crypto";

// What to do with each refusal. Only "retry" codes can be answered
// differently when the same request is sent again unchanged; repeating a
// publish is safe.
const ACTIONS = {
  SYNC_DOWNLOAD_PENDING: "retry", SYNC_IO: "retry",
  SYNC_FOLDER_MOVED: "reconnect", // ask the user to select the folder again
  SYNC_INVALID_REQUEST: "fix", // a mistake in this client
};
for (const code of [ // the request, folder or user must change: show it
  "SYNC_INVALID_FILE", "SYNC_UNSAFE_PATH", "SYNC_MISSING", "SYNC_CAPACITY", "SYNC_WORKSPACE_MISMATCH",
  "SYNC_FILE_CONFLICT", "SYNC_FOLDER_CONTENTS", "SYNC_UPLOAD_FAILED", "SYNC_DOWNLOAD_FAILED",
  "SYNC_EXCLUDED", "SYNC_IMMUTABLE_CONFLICT", "SYNC_UNSUPPORTED_MANIFEST"]) ACTIONS[code] = "show";
// Seconds before each retry, about a minute in all; then give up. (The
// tests shorten them with BRINDELL_EXAMPLE_DELAYS.)
const DELAYS = (process.env.BRINDELL_EXAMPLE_DELAYS ?? "1,2,4,8,16,32").split(",").map(Number);
// A SYNC_IO whose cause never passes by itself: its message ends with one of these.
const LASTING = ["Permission denied", "Operation not permitted", "Read-only file system",
  "Invalid argument", "Operation not supported", "File name too long",
  "is not a private directory of this user"];
// Longer than the 30 s a helper may wait for another helper's lock.
const TIMEOUT_MS = 45_000;
const SUCCESS = '{"ok":true,"result":';

class Refused extends Error {
  constructor(error, tries) {
    super(`${error.code}: ${error.message}`);
    this.code = error.code;
    this.tries = tries;
    this.action = ACTIONS[error.code] ?? "show";
    if (this.code === "SYNC_IO" && LASTING.some((cause) => error.message.includes(cause))) {
      this.action = "show";
    }
  }
}

// Keys in the order of their UTF-8 bytes, as the helper orders them; strings
// as JSON.stringify writes them, which is how the helper writes them too.
export function canonical(value) {
  if (Array.isArray(value)) return `[${value.map(canonical).join(",")}]`;
  if (value !== null && typeof value === "object") {
    const keys = Object.keys(value).sort((a, b) => Buffer.compare(Buffer.from(a), Buffer.from(b)));
    return `{${keys.map((key) => `${JSON.stringify(key)}:${canonical(value[key])}`).join(",")}}`;
  }
  return JSON.stringify(value);
}

// A history file's name: the workspace, and the SHA-256 of the content's
// canonical bytes, so that equal content gets equal names.
export function historyName(workspaceId, contentText) {
  return `${workspaceId}-${createHash("sha256").update(contentText).digest("hex")}.brindell-history.json`;
}

// One run of the helper: its answer line, without the line feed.
function answerOf(helper, request) {
  return new Promise((resolve, reject) => {
    const child = spawn(helper, [], { stdio: ["pipe", "pipe", "ignore"] });
    const chunks = [];
    const timer = setTimeout(() => child.kill("SIGKILL"), TIMEOUT_MS);
    child.stdout.on("data", (chunk) => chunks.push(chunk));
    // An oversized request is answered before it is read in full, and the
    // rest of the write fails with EPIPE: without a listener that error
    // would end the application. The answer still comes.
    child.stdin.on("error", () => {});
    child.on("error", (error) => { clearTimeout(timer); reject(error); });
    child.on("close", (status, signal) => {
      clearTimeout(timer);
      const line = Buffer.concat(chunks).toString("utf8");
      if (!line.endsWith("\n")) {
        reject(new Error(`no answer from ${helper} (status ${status}, signal ${signal})`));
      } else {
        resolve(line.slice(0, -1));
      }
    });
    child.stdin.end(request); // closing the input ends the request
  });
}

// The result of one request (parsed, and as the raw text the helper wrote),
// after retrying what may pass later: in a cloud drive, or where a sync
// client may be bringing an item, a pending download may complete.
export async function ask(helper, request) {
  // UTF-8 cannot carry a lone surrogate, and the helper refuses the whole
  // request for one, even escaped as JSON.stringify escapes it; JavaScript
  // strings may hold them.
  const refuseLone = (text) => {
    if (/[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/.test(text)) {
      throw new Error("the request holds a lone surrogate, which no UTF-8 text can carry");
    }
    return text;
  };
  const text = typeof request === "string" ? refuseLone(request) : JSON.stringify(request,
    (key, value) => (refuseLone(key), typeof value === "string" ? refuseLone(value) : value));
  for (let tries = 1; ; tries++) {
    const line = await answerOf(helper, text);
    const answer = JSON.parse(line);
    // JSON.parse reads 1.50 as 1.5 and rounds long integers: republishing
    // what was read needs the raw text, which is the answer less its envelope.
    if (answer.ok) return { result: answer.result, raw: line.slice(SUCCESS.length, -1) };
    const refused = new Refused(answer.error, tries);
    if (refused.action !== "retry" || tries > DELAYS.length) throw refused;
    await new Promise((wake) => setTimeout(wake, DELAYS[tries - 1] * 1000));
  }
}

async function main(parent, helper = "BrindellFileSync") {
  const workspaceId = randomUUID();
  const { result: made } = await ask(helper, { operation: "create", folder: parent, workspaceId });
  const folder = made.folder;
  const content = canonical({ workspaceId, events: [{ text: "hello /\u00e9", at: 1.5 }] });
  const name = historyName(workspaceId, content);
  const publish = (text) =>
    `{"operation":"publish","folder":${JSON.stringify(folder)},"name":${JSON.stringify(name)},"content":${text}}`;
  const published = await ask(helper, publish(content));
  const listed = await ask(helper, { operation: "list", folder });
  const stored = await ask(helper, { operation: "read", folder, name });
  const again = await ask(helper, publish(stored.raw)); // exactly the bytes read
  console.log(`created ${folder}\npublished ${name} (new: ${published.result.created})`);
  console.log(`listed ${JSON.stringify(listed.result.files.map((file) => file.name))}`);
  console.log(`read back equal: ${stored.raw === content}`);
  console.log(`published what was read (new: ${again.result.created})`);
  const refusals = [
    ["read of a file not there", { operation: "read", folder, name: historyName(workspaceId, "x") }],
    ["read of a bad name", { operation: "read", folder, name: "x.json" }],
    ["create without a UUID", { operation: "create", folder: parent, workspaceId: "x" }],
    ["a name too long to look up", { operation: "list", folder: `${parent}/${"x".repeat(256)}` }],
    ["a lone surrogate", { operation: "list", folder: `${folder}\uD800` }]];
  for (const [what, request] of refusals) {
    try {
      await ask(helper, request);
      console.log(`${what}: answered`);
    } catch (error) {
      console.log(error instanceof Refused
        ? `${what}: ${error.code} [${error.action}] after ${error.tries} tries`
        : `${what}: not sent: ${error.message}`);
    }
  }
}

if (process.argv.length < 3 || process.argv.length > 4) {
  console.error("Usage: node client.mjs PARENT [HELPER]");
  process.exit(2);
}
main(...process.argv.slice(2)).catch((error) => {
  console.error(error instanceof Refused ? `${error.message} [${error.action}]` : error.message);
  process.exit(1);
});
